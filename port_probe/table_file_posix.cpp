#include "table_file.h"

const char kTableFile[] = "./TROV.INI";
