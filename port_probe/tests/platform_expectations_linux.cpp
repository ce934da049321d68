#include "platform_expectations.h"

const char kMissingArgumentConsoleText[] =
    "Vestrel: Error: Give ini-file name as command line parameter!\n";
const bool kDriverReportsRefusal = true;
const bool kFileNamesMayHoldQuotes = true;
const char kTextLineEnd[] = "\n";
