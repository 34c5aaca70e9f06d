// The in-memory records of a loaded profile file: sections and their keys.
#pragma once

#include "diag/collector.h"
#include "profile/cursor_list.h"
#include "profile/limits.h"

#include <cstdint>

// One key line.  Its texts are stored right after the record, in the same
// allocation, sized to the texts (name up to 60 characters, value up to
// 4,500): keys are the bulk of a loaded file.
struct ProfileKey {
    char *name;  // zero-terminated, points into this key's own allocation
    char *value; // zero-terminated, points into this key's own allocation
};

struct ProfileSection {
    char name[PROFILE_NAME_SIZE];
    char version[PROFILE_VERSION_SIZE]; // "*" when the header gave none
    CursorList *keys;                   // in file order; its release callback frees the keys
    uint32_t damaged;                   // 1 when the "CSUM" line disagreed with the keys
    uint32_t checksum;                  // computed: wrapping sum of the key checksums
    uint32_t storedChecksum;            // value of the "CSUM" line; 0 when none
    uint32_t keyCount;
};

// *out receives a new section with an empty key list and the four numbers
// at 0; the name and version are cut to 76 and 20 characters.  Returns 0;
// 11 for no name or version; 14 when the record cannot be allocated; 11 when
// its key list cannot be made (the record is freed).  Recorded.
uint32_t profileNewSection(ErrCollector *collector, const char *name, const char *version,
                           ProfileSection **out);

// *out receives a new key, one allocation freed with free().  A name beyond
// 60 characters or a value beyond 4,500 is cut there.  Returns 0; 11 for no
// name or value, or the name "CSUM"; 14 when it cannot be allocated.
// Recorded.
uint32_t profileNewKey(ErrCollector *collector, const char *name, const char *value,
                       ProfileKey **out);

// Appends the key at the tail and counts it.  Returns 0, or 11 (recorded)
// for no section or a list failure; the key then still belongs to the caller.
uint32_t profileAddKey(ErrCollector *collector, ProfileSection *section, ProfileKey *key);

// Frees a section with its key list and keys.  A null section: nothing.
void profileFreeSection(ErrCollector *collector, ProfileSection *section);
