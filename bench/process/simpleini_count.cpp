// Whole-process peer: loads a file with SimpleIni and counts its sections
// and keys.
#include <SimpleIni.h>
#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    CSimpleIniA ini;
    if (ini.LoadFile(argv[1]) < 0) return 2;
    CSimpleIniA::TNamesDepend sections;
    ini.GetAllSections(sections);
    long keys = 0;
    for (const auto &section : sections) keys += ini.GetSectionSize(section.pItem);
    std::printf("%zu sections, %ld keys\n", sections.size(), keys);
    return 0;
}
