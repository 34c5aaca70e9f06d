// Whole-process peer: counts the sections and keys of a file with inih.
#include "ini_counts.h"

#include <ini.h>

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    IniCounts counts;
    if (ini_parse(argv[1], iniCountEntry, &counts) != 0) return 2;
    return iniPrintCounts(counts);
}
