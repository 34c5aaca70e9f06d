// Whole-process peer: counts the sections and keys of a file with inih.
#include <cstdio>
#include <cstring>
#include <ini.h>

namespace {
struct Counts {
    long sections = 0;
    long keys = 0;
    char section[256] = {};
};

int countEntry(void *user, const char *section, const char *, const char *) {
    auto *c = static_cast<Counts *>(user);
    if (std::strcmp(section, c->section) != 0) {
        ++c->sections;
        std::snprintf(c->section, sizeof c->section, "%s", section);
    }
    ++c->keys;
    return 1;
}
} // namespace

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    Counts counts;
    if (ini_parse(argv[1], countEntry, &counts) != 0) return 2;
    std::printf("%ld sections, %ld keys\n", counts.sections, counts.keys);
    return 0;
}
