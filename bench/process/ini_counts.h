// What the whole-process INI programs do with each entry: count the sections
// and keys, so that a reader's callbacks have a little work to do and
// nothing is kept.
#pragma once

#include <cstdio>
#include <cstring>

struct IniCounts {
    long sections = 0;
    long keys = 0;
    char section[256] = {};
};

// The callback of inih and of the callback reader: a section counts when its
// name differs from the last one seen.
inline int iniCountEntry(void *user, const char *section, const char *, const char *) {
    auto *c = static_cast<IniCounts *>(user);
    if (std::strcmp(section, c->section) != 0) {
        ++c->sections;
        std::snprintf(c->section, sizeof c->section, "%s", section);
    }
    ++c->keys;
    return 1;
}

inline int iniPrintCounts(const IniCounts &counts) {
    std::printf("%ld sections, %ld keys\n", counts.sections, counts.keys);
    return 0;
}
