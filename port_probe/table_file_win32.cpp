#include "table_file.h"

// The profile functions resolve a name with a folder part against the current
// folder; a bare "TROV.INI" would go to the Windows folder instead.
const char kTableFile[] = ".\\TROV.INI";
