// The operations the library's components call to work with profile files:
// open (and load), find and create sections, read, set and remove keys,
// close (and rewrite).
#pragma once

#include "profile/context.h"
#include "profile/limits.h"

#include <cstddef>
#include <cstdint>

// The caller's copy of one section (field order differs from ProfileSection).
struct ProfileSectionInfo {
    char name[PROFILE_NAME_SIZE];
    char version[PROFILE_VERSION_SIZE];
    uint32_t checksum;
    uint32_t damaged;
    uint32_t storedChecksum;
    uint32_t keyCount;
};

uint32_t profileOpenFile(int32_t contextIndex, const char *path, uint32_t openMode,
                         ProfileFile **out, uint32_t openFlags, uint64_t user);
uint32_t profileCloseFile(ProfileFile **file, uint32_t saveFlags, uint64_t user);
// Ends an open file without writing it: closes its stream, releases what
// the open holds (the update lock of an update open, an unfinished rewrite)
// and frees the record with its sections and keys; *file is cleared.  Works
// whether or not the file's context is still open.  Returns 0; 11 for no
// handle; the status of freeing the record (recorded when its context is
// open), which still frees everything it can.
uint32_t profileDiscardFile(ProfileFile **file);
uint32_t profileFindSection(ProfileFile *file, const char *name, const char *version,
                            ProfileSectionInfo *info);
uint32_t profileCreateSection(ProfileFile *file, const char *name, const char *version,
                              ProfileSectionInfo *info);
// The first section that matches ("KTRDIST" by name alone), or 6 (recorded);
// 11 (recorded) when the file has no section list.
uint32_t profileSearchSection(ErrCollector *collector, ProfileFile *file, const char *name,
                              const char *version, ProfileSection **found);

// Operations on single keys, for callers that change one value of a file
// (the section operations above only add whole sections).  Each finds its
// section as profileFindSection does (18 or 20 for a name or version beyond
// its limit, 6 when none matches; "KTRDIST" by name alone) and acts on the
// first section that matches.  When *info is given it receives that section's
// information, after the change for the operations that change it.  A failed
// operation leaves the file record as it was.  11 for no file and 9 for a
// context that is not open are not recorded; every other status is.

// Flags of profileSetKey and profileRemoveKey.
constexpr uint32_t PROFILE_KEYS_CREATE_SECTION = 1u; // set: create a missing section
constexpr uint32_t PROFILE_KEYS_ACCEPT_DAMAGE = 2u;  // take a damaged section's keys as they are

// Copies the value of the first key named `key` into value, a buffer of
// valueSize bytes (at least PROFILE_VALUE_SIZE); on failure value holds the
// empty text.  Returns 0; 11 no file, or no section, version, key or value,
// or valueSize below PROFILE_VALUE_SIZE; 9; 18; 20; 6; 7 the section holds
// no key of that name.  A damaged section's value is given too: *info says
// whether the section is damaged.
uint32_t profileGetKey(ProfileFile *file, const char *section, const char *version, const char *key,
                       char *value, size_t valueSize, ProfileSectionInfo *info);

// Gives the first key named `key` the value, or appends the key at the end
// of the section when it holds none of that name.  The name and the value
// must read back the same after a save: "key = value" must read as exactly
// this key and value.  Then the section's computed checksum is taken over
// its new keys; a section that was damaged (with PROFILE_KEYS_ACCEPT_DAMAGE)
// is damaged no more, so a save with checksums gives it its computed
// checksum.  No other section changes: each keeps its stored checksum and
// its damage.  Returns 0; 11 no file, or no section, version, key or value;
// 9; 16 a key name that would not read back (empty, beyond 60 characters,
// "CSUM", holding whitespace, "=", "[" or a character the reader refuses);
// 21 a value that would not read back (empty, beyond 4,500 characters,
// leading or trailing whitespace, a run of whitespace, a line feed, "[", a
// leading "=", or a character the reader refuses); 18 the section
// "S-y-S-t-E-m", whose keys are never written, or (when created) a name
// that profileCreateSection refuses; 20 a version beyond 20 characters, or
// (when created) one that profileCreateSection refuses or the empty
// version, which reads back as "*"; 6 no such section and no
// PROFILE_KEYS_CREATE_SECTION; 8 the section is damaged and no
// PROFILE_KEYS_ACCEPT_DAMAGE; 14 the key cannot be allocated.
uint32_t profileSetKey(ProfileFile *file, const char *section, const char *version, const char *key,
                       const char *value, uint32_t flags, ProfileSectionInfo *info);

// Removes every key named `key` from the section and takes the section's
// computed checksum over the keys left, as profileSetKey does (flag
// PROFILE_KEYS_ACCEPT_DAMAGE likewise).  *removed, when given, receives the
// number of keys removed.  Returns 0; 11 no file, or no section, version or
// key; 9; 18 the section "S-y-S-t-E-m"; 20; 6; 7 the section holds no key of
// that name; 8 the section is damaged and no PROFILE_KEYS_ACCEPT_DAMAGE.
uint32_t profileRemoveKey(ProfileFile *file, const char *section, const char *version,
                          const char *key, uint32_t flags, ProfileSectionInfo *info,
                          uint32_t *removed);

// Called by profileDropRefusedKeys for each key it drops, before the next.
using ProfileDroppedKeyFn = void (*)(const ProfileSection *section, const ProfileKey *key,
                                     void *user);

// Repairs a file that holds keys profileSetKey would refuse for a control
// character (C0 but the tab; a carriage return among them), read in with
// PROFILE_OPEN_FLAG_KEEP_RETURNS: removes each such key, calling dropped,
// and gives each section that lost one the checksum of its keys left (a
// damaged section keeps its damage and its stored checksum).  *count
// receives the number dropped.  Returns 0; 11 no file (not recorded); 9;
// 11 for a list that cannot be walked (recorded).
uint32_t profileDropRefusedKeys(ProfileFile *file, ProfileDroppedKeyFn dropped, void *user,
                                uint32_t *count);
