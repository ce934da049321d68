#include "platform_expectations.h"

const char kMissingArgumentConsoleText[] = "";
const bool kDriverReportsRefusal = false;
const bool kFileNamesMayHoldQuotes = false;
const char kTextLineEnd[] = "\r\n";
