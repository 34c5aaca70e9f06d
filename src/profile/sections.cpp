// Looking sections up in an open file and adding new ones.
#include "diag/safecopy.h"
#include "profile/checksum.h"
#include "profile/limits.h"
#include "profile/list_walk.h"
#include "profile/operations.h"
#include "profile/records.h"

#include <cstdint>
#include <cstring>

namespace {

// Characters that no created section name may hold, beside whitespace and
// control bytes: each would make the header read back as something else,
// or not at all.
constexpr char NAME_REFUSES[] = "=[]<>#@?";
constexpr char VERSION_REFUSES[] = "]<>#@?";

// True when every byte of text reads back from a header as itself: no
// whitespace, no control byte (1 to 31, 127), none of `refused`.
bool readsBack(const char *text, const char *refused) {
    for (const char *p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c == 127 || std::strchr(refused, c) != nullptr) return false;
    }
    return true;
}

void copyInfo(const ProfileSection *section, ProfileSectionInfo *info) {
    std::memset(info, 0, sizeof *info);
    QDMsafeCopy(info->name, profileSectionName(section), sizeof info->name);
    QDMsafeCopy(info->version, profileSectionVersion(section), sizeof info->version);
    const ProfileSectionDetail *detail = profileSectionDetail(section);
    info->checksum = section->checksum;
    info->damaged = detail->damaged;
    info->storedChecksum = detail->storedChecksum;
    info->keyCount = profileSectionKeyCount(section);
}

// The checks both section operations start with.  On 0, *collector is the
// file's; otherwise the status to return (recorded where a collector exists).
uint32_t startSectionCall(ProfileFile *file, const char *name, const char *version,
                          ProfileSectionInfo *info, ErrCollector **collector) {
    if (info != nullptr) std::memset(info, 0, sizeof *info);
    if (file == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    *collector = profileContextCollector(file->contextIndex);
    if (*collector == nullptr) return PROFILE_STATUS_BAD_LIB;
    if (name == nullptr || version == nullptr || info == nullptr)
        return profileFail(*collector, PROFILE_STATUS_BAD_PARAMS);
    return 0;
}

} // namespace

uint32_t profileSearchSection(ErrCollector *collector, ProfileFile *file, const char *name,
                              const char *version, ProfileSection **found) {
    if (found != nullptr) *found = nullptr;
    if (file == nullptr || name == nullptr || version == nullptr || found == nullptr)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    // "KTRDIST" is matched by name alone, whatever the versions.
    bool anyVersion = std::strcmp(name, PROFILE_SECTION_KTRDIST) == 0;
    ProfileSection *match = nullptr;
    uint32_t status = profileWalk(collector, file->sections, [&](void *element) {
        auto *section = static_cast<ProfileSection *>(element);
        if (std::strcmp(profileSectionName(section), name) != 0) return 0u;
        if (!anyVersion && std::strcmp(profileSectionVersion(section), version) != 0) return 0u;
        match = section;
        return 1u; // found: ends the walk
    });
    if (match != nullptr) {
        *found = match;
        return 0;
    }
    if (status != 0) return status;
    return profileFail(collector, PROFILE_STATUS_NO_SECTION);
}

uint32_t profileFindSection(ProfileFile *file, const char *name, const char *version,
                            ProfileSectionInfo *info) {
    ErrCollector *collector = nullptr;
    uint32_t start = startSectionCall(file, name, version, info, &collector);
    if (start != 0) return start;
    if (QDMboundedLength(name, PROFILE_NAME_SIZE) > PROFILE_NAME_SIZE - 1)
        return profileFail(collector, PROFILE_STATUS_BAD_SECTION_NAME);
    if (QDMboundedLength(version, PROFILE_VERSION_SIZE) > PROFILE_VERSION_SIZE - 1)
        return profileFail(collector, PROFILE_STATUS_BAD_VERSION);
    ProfileSection *section = nullptr;
    uint32_t status = profileSearchSection(collector, file, name, version, &section);
    if (status != 0) return status;
    copyInfo(section, info);
    return 0;
}

uint32_t profileCreateSection(ProfileFile *file, const char *name, const char *version,
                              ProfileSectionInfo *info) {
    ErrCollector *collector = nullptr;
    uint32_t start = startSectionCall(file, name, version, info, &collector);
    if (start != 0) return start;
    // Only names and versions that read back as themselves: the empty
    // version stays allowed and reads back as "*".
    size_t nameLength = QDMboundedLength(name, PROFILE_NAME_SIZE);
    if (nameLength == 0 || nameLength > PROFILE_NAME_SIZE - 1 || !readsBack(name, NAME_REFUSES))
        return profileFail(collector, PROFILE_STATUS_BAD_SECTION_NAME);
    if (QDMboundedLength(version, PROFILE_VERSION_SIZE) > PROFILE_VERSION_SIZE - 1 ||
        !readsBack(version, VERSION_REFUSES))
        return profileFail(collector, PROFILE_STATUS_BAD_VERSION);

    // A lookup that finds nothing records 6; the creation goes on.
    if (profileFindSection(file, name, version, info) == 0)
        return profileFail(collector, PROFILE_STATUS_SECTION_EXISTS);

    bool ktrdist = std::strcmp(name, PROFILE_SECTION_KTRDIST) == 0;
    ProfileSection *section = nullptr;
    uint32_t status =
        profileNewSection(collector, &file->arena, name, ktrdist ? "" : version, &section);
    if (status != 0) return status;
    profileSetChecksum(collector, section, 0);
    // On a failure the section stays unused in the file's arena.
    status = profileAddSection(collector, file, section);
    if (status != 0) return status;
    copyInfo(section, info);
    return 0;
}
