// The in-memory records of a loaded profile file: sections and their keys.
#pragma once

#include "diag/collector.h"
#include "profile/cursor_list.h"
#include "profile/limits.h"

#include <cstddef>
#include <cstdint>

// Storage for the sections and keys of one file: blocks handed out from
// front to back, all freed at once with the file.  Keys enter a file by
// loading and by the key operations and sections are never removed, so
// nothing is given back one by one; a key that a key operation drops stays
// in its block until the file is freed.  Chosen for speed and size: a load
// makes one allocation per block instead of one per key and section, and a
// short key or section carries no per-allocation overhead.
//
// A file's first blocks are small heap blocks, so that a small file costs
// little.  A large one (sizeHint, the size of the file being loaded, set
// before the load) gets a first block of whole pages sized from it, brought
// in by the system at once (platform/pages.h) rather than one page fault per
// 4 KiB as the records are first written; a file that outgrows its blocks
// takes page blocks of a quarter of what it holds so far.  Every block comes
// through the allocation wrapper, so an allocation failure shows as it does
// for any other allocation.
struct ProfileArenaBlock;
struct ProfileArena {
    ProfileArenaBlock *blocks; // the newest block first
    char *next;                // the free bytes of the current block
    uint64_t left;
    uint64_t nextBlockSize; // heap blocks: grows with each block, up to a cap
    uint64_t held;          // bytes in all blocks so far
    uint64_t sizeHint;      // the size of the file being loaded; 0 when unknown
};

// size bytes aligned for any record, valid until profileArenaFree; null
// (QDMalloc then raised the memory-failure flag) when no block can be had.
// Nothing is recorded.
void *profileArenaAlloc(ProfileArena *arena, uint32_t size);
// Frees every block and leaves the arena empty, ready for use again.
void profileArenaFree(ProfileArena *arena);

// One key line: its list node, and its texts right after the record, in
// the same arena allocation sized to the texts (name up to 60 characters,
// value up to 4,500).  Keys are the bulk of a loaded file, so the texts have
// no pointers of their own: profileKeyName and profileKeyValue find them.
struct ProfileKey {
    CursorNode node; // in its section's key list (profileAddKey); 8 bytes
};

// The key's zero-terminated name, right after the record.
const char *profileKeyName(const ProfileKey *key);
// The key's value, right after its name.
const char *profileKeyValue(const ProfileKey *key);

// What a section holds once it has keys or met a "CSUM" line.  Most
// sections of a file of short headers have no keys, so they share one of
// two such records, which are never written: profileNoDetail (no "CSUM"
// line) or profileNoDetailZeroSum (a "CSUM" line reading 0, as a save with
// checksums writes it for a section without keys).  A section gets a record
// of its own, in the arena, at its first key or its first other "CSUM" line
// (profileSectionOwnDetail).
struct ProfileSectionDetail {
    // In file order; keys are appended only through profileAddKey, and
    // keys.count is the section's key count.
    CursorList keys;
    uint32_t storedChecksum; // value of the "CSUM" line; 0 when none
    uint32_t checksumTransform;
    uint32_t damaged : 1; // 1 when the "CSUM" line disagreed with the keys
    // Set when the section's `checksum` is known to be the sum over the keys
    // as they are now under transform parameter `checksumTransform` (a load
    // leaves every section so), so that a save does not sum them again.
    // Adding a key or setting the checksum clears it.  A section that
    // shares a detail has no keys, and its sum is 0 under every transform.
    uint32_t checksumKnown : 1;
    // What the load met of the section's "CSUM" lines, for a reader that
    // must tell a protected section from one that only shows no damage
    // (ProfileChecksumLine); and how many keys came after the last one,
    // which its checksum does not cover (up to PROFILE_KEYS_AFTER_MAX).
    uint32_t checksumLine : 2;
    uint32_t keysAfterChecksum : 28;
};

// One section, its list node in the file's section list and its texts in
// one arena allocation sized to the texts.  A file of nothing but short
// headers is mostly these records, so they are kept small: what only a
// section with keys or a "CSUM" line needs is in its detail record, shared
// by all the others, and the name and version are found through
// profileSectionName and profileSectionVersion rather than pointers, their
// texts beginning in what would be the record's padding (24 bytes in all for
// "[a]": the texts "a" and "*" fit the record).
struct ProfileSection {
    CursorNode node; // in the file's section list (profileAddSection)
    // A shared one until the section needs one of its own: read through
    // profileSectionDetail and profileSectionKeys, written only through
    // profileSectionOwnDetail (or profileSectionOwnedDetail), so that no
    // caller writes a shared one by mistake.
    const ProfileSectionDetail *detail;
    uint32_t checksum; // computed: wrapping sum of the key checksums
    // The zero-terminated name (up to 76 characters), then the version (up
    // to 20, "*" when the header gave none); they run on past this field
    // into the rest of the allocation.
    char texts[4];
};
static_assert(sizeof(ProfileSection) == 24, "a section of a short header is 24 bytes");

// The values of ProfileSectionDetail::checksumLine.
enum ProfileChecksumLine : uint32_t {
    PROFILE_CSUM_NONE = 0,       // the section had no "CSUM" line
    PROFILE_CSUM_NUMBER = 1,     // the last one's value is a decimal number, as written
    PROFILE_CSUM_NOT_NUMBER = 2, // the last one's value is anything else (read as 0, or its
                                 // leading number)
};
// keysAfterChecksum stops counting here.
constexpr uint32_t PROFILE_KEYS_AFTER_MAX = (1u << 28) - 1;

// The section's name and version, in its own allocation.
const char *profileSectionName(const ProfileSection *section);
const char *profileSectionVersion(const ProfileSection *section);

// The detail records that sections without keys share, never written: no
// "CSUM" line, every number and flag 0; and a "CSUM" line that reads 0 as
// written (checksumLine PROFILE_CSUM_NUMBER, every other number and flag 0).
extern const ProfileSectionDetail profileNoDetail;
extern const ProfileSectionDetail profileNoDetailZeroSum;

// True while the section shares a detail (it then has no keys).
inline bool profileSectionSharesDetail(const ProfileSection *section) {
    return section->detail == &profileNoDetail || section->detail == &profileNoDetailZeroSum;
}
// The section's detail, for reading (a shared one while it has none of its
// own).
inline const ProfileSectionDetail *profileSectionDetail(const ProfileSection *section) {
    return section->detail;
}
// The section's key list, to walk (list_walk.h) or read; keys are added only
// through profileAddKey.  A walk of the shared empty list writes nothing.
inline CursorList *profileSectionKeys(const ProfileSection *section) {
    return const_cast<CursorList *>(&section->detail->keys);
}
inline uint32_t profileSectionKeyCount(const ProfileSection *section) {
    return static_cast<uint32_t>(section->detail->keys.count);
}
// The section's own detail, to write; null while it shares one.  Allocates
// nothing.
inline ProfileSectionDetail *profileSectionOwnedDetail(ProfileSection *section) {
    // A detail of its own comes from the arena, writable.
    return profileSectionSharesDetail(section)
               ? nullptr
               : const_cast<ProfileSectionDetail *>(section->detail);
}

// *out receives the section's own detail, to write: the one it has, or a
// new one from the arena holding what the shared one held (no keys, its
// numbers and flags), which the section keeps from then on.  Returns 0; 11
// (recorded) for no section, no arena when one is needed, or when the
// record cannot be allocated (121 recorded before it); the section then
// stays as it was.
uint32_t profileSectionOwnDetail(ErrCollector *collector, ProfileArena *arena,
                                 ProfileSection *section, ProfileSectionDetail **out);

// Records a "CSUM" line of the section: the value it was read as (stored)
// and its ProfileChecksumLine.  A section without keys whose line reads 0
// as written shares profileNoDetailZeroSum; any other gets its own detail.
// Returns 0, or the status of profileSectionOwnDetail (the section then
// stays as it was).
uint32_t profileSectionSetChecksumLine(ErrCollector *collector, ProfileArena *arena,
                                       ProfileSection *section, uint32_t stored,
                                       uint32_t checksumLine);

// *out receives a new section from the arena, with no keys and the numbers
// at 0; the name and version are cut to 76 and 20 characters.  Returns 0; 11
// for no arena, name or version; 14 when the record cannot be allocated.
// Recorded.
uint32_t profileNewSection(ErrCollector *collector, ProfileArena *arena, const char *name,
                           const char *version, ProfileSection **out);

// *out receives a new key from the arena.  A name beyond 60 characters or a
// value beyond 4,500 is cut there.  Returns 0; 11 for no arena, name or
// value, or the name "CSUM"; 14 when it cannot be allocated.  Recorded.
uint32_t profileNewKey(ErrCollector *collector, ProfileArena *arena, const char *name,
                       const char *value, ProfileKey **out);

// As profileNewKey, from texts of known lengths that may run on past them:
// the name (not "CSUM") at most 60 bytes, the value at most 4,500, neither
// holding a zero byte.  Returns 0, or 14 (recorded) when it cannot be
// allocated.
uint32_t profileNewKeyOf(ErrCollector *collector, ProfileArena *arena, const char *name,
                         size_t nameLength, const char *value, size_t valueLength,
                         ProfileKey **out);

// Appends the key, which must come from profileNewKey and belong to no
// section yet, at the tail (through the list node in its own allocation);
// the section's first key brings its own detail, with its key list, from
// the arena (profileSectionOwnDetail).  Returns 0, or 11 (recorded) for no
// section or key, or when that detail cannot be made (121 recorded before
// it); the key then stays unused in the arena.
uint32_t profileAddKey(ErrCollector *collector, ProfileArena *arena, ProfileSection *section,
                       ProfileKey *key);
