// The in-memory records of a loaded profile file: sections and their keys.
#pragma once

#include "diag/collector.h"
#include "profile/cursor_list.h"
#include "profile/limits.h"

#include <cstdint>

// One key line.  Its list node and its texts are stored right after the
// record, in the same allocation, sized to the texts (name up to 60
// characters, value up to 4,500): keys are the bulk of a loaded file, and
// one allocation per key serves where two would do the same.
struct ProfileKey {
    char *name;  // zero-terminated, points into this key's own allocation
    char *value; // zero-terminated, points into this key's own allocation
};

// One section and its texts in one allocation sized to the texts (a file of
// nothing but short headers is mostly these records).
struct ProfileSection {
    char *name;    // zero-terminated, up to 76 characters, in this allocation
    char *version; // zero-terminated, up to 20 characters ("*" when the header
                   // gave none), in this allocation
    // In file order; its release callback frees the keys.  A section without
    // keys shares the empty list profileNoKeys and gets a list of its own
    // with its first key: keys are appended only through profileAddKey.
    CursorList *keys;
    uint32_t damaged;        // 1 when the "CSUM" line disagreed with the keys
    uint32_t checksum;       // computed: wrapping sum of the key checksums
    uint32_t storedChecksum; // value of the "CSUM" line; 0 when none
    uint32_t keyCount;
    // Set when `checksum` is known to be the sum over the keys as they are
    // now under transform parameter `checksumTransform` (a load leaves every
    // section so), so that a save does not sum them again.  Adding a key or
    // setting the checksum clears it.
    uint32_t checksumKnown;
    uint32_t checksumTransform;
};

// The key list of every section that has no key yet.  It stays empty: it is
// never appended to and never destroyed.
extern CursorList profileNoKeys;

// *out receives a new section, one allocation freed by profileFreeSection,
// with no keys and the four numbers at 0; the name and version are cut to 76
// and 20 characters.  Returns 0; 11 for no name or version; 14 when the
// record cannot be allocated.  Recorded.
uint32_t profileNewSection(ErrCollector *collector, const char *name, const char *version,
                           ProfileSection **out);

// *out receives a new key, one allocation freed with free().  A name beyond
// 60 characters or a value beyond 4,500 is cut there.  Returns 0; 11 for no
// name or value, or the name "CSUM"; 14 when it cannot be allocated.
// Recorded.
uint32_t profileNewKey(ErrCollector *collector, const char *name, const char *value,
                       ProfileKey **out);

// Appends the key, which must come from profileNewKey and belong to no
// section yet, at the tail (through the list node in its own allocation)
// and counts it; the section's first key brings its own key list.  Returns
// 0, or 11 (recorded) for no section or key, or when that list cannot be
// made; the key then still belongs to the caller, who frees it with free().
uint32_t profileAddKey(ErrCollector *collector, ProfileSection *section, ProfileKey *key);

// Frees a section with its key list and keys; it must not be in a file's
// list (profileFreeFile frees those).  A null section: nothing.
void profileFreeSection(ErrCollector *collector, ProfileSection *section);
