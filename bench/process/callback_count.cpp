// Whole-process peer: counts the sections and keys of a file with the
// callback reader (callback_reader.h), the stand-in for inih on Windows.
#include "callback_reader.h"
#include "ini_counts.h"

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    IniCounts counts;
    if (callbackRead(argv[1], iniCountEntry, &counts) != 0) return 2;
    return iniPrintCounts(counts);
}
