// The operations the library's components call to work with profile files:
// open (and load), find and create sections, close (and rewrite).
#pragma once

#include "profile/context.h"
#include "profile/limits.h"

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
