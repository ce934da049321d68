#include "vestrel_app.h"

// Constructed before main() runs, destroyed at exit (closing a log still open).
CVestrelApp theApp;
