// Reading, setting and removing single keys of an open file.
//
// A key is set only in a form that reads back as itself: the key line is
// put together as the saver writes it and read back through the reader's
// own normaliser and parser, so whatever the loader would refuse or change
// is refused here before the file record changes.
#include "profile/checksum.h"
#include "profile/format.h"
#include "profile/limits.h"
#include "profile/list_walk.h"
#include "profile/operations.h"
#include "profile/records.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A value that reads back as itself, to try a key name on its own.
constexpr char PLAIN_VALUE[] = "x";

// True when the key line "name = value", as the saver writes it, reads back
// through the reader as exactly this name and value.  A text beyond its
// limit, or one that the line buffer cuts, does not.  Records nothing.
bool readsBackAs(const char *name, const char *value) {
    char line[PROFILE_WRITE_LINE_SIZE];
    std::snprintf(line, sizeof line, "%s = %s", name, value);
    normalizeBlanks(line);
    // Zeroed buffers: the line before is no "CSUM" line, so the exception
    // for a key named "L" and a digit does not loosen the rules.
    ProfileParseBuffers parsed{};
    ProfileLineKind kind = PROFILE_LINE_OTHER;
    if (profileParseLine(nullptr, line, &kind, &parsed) != 0) return false;
    return kind == PROFILE_LINE_KEY && std::strcmp(parsed.keyName, name) == 0 &&
           std::strcmp(parsed.value, value) == 0;
}

// The first control character of the text that no key may hold (C0 but the
// tab), or null.  An update open refuses a carriage return with text after
// it, and the others drive a terminal or vanish in an editor, so a key
// holding one is never set.
const char *refusedControl(const char *text) {
    for (; *text != '\0'; ++text)
        if (static_cast<unsigned char>(*text) < 0x20 && *text != '\t') return text;
    return nullptr;
}

bool holdsRefusedControl(const ProfileKey *key) {
    return refusedControl(profileKeyName(key)) != nullptr ||
           refusedControl(profileKeyValue(key)) != nullptr;
}

// Why a text that does not read back as itself is refused, in words.
const char *readBackRule(const char *text) {
    if (text[0] == '\0') return "it is empty";
    static const char refused[] = "<>#@?[";
    static const char *const words[] = {"it contains '<'", "it contains '>'", "it contains '#'",
                                        "it contains '@'", "it contains '?'", "it contains '['"};
    const char *rejected = std::strpbrk(text, refused);
    if (rejected != nullptr) return words[std::strchr(refused, *rejected) - refused];
    return "it would not read back the same (the limit, whitespace at either end or doubled, "
           "or a leading '=')";
}

// 0 when the key can be written and read back the same; 16 for its name,
// else 21 for its value, with the rule in the context's detail.  Records
// nothing in the collector.
uint32_t checkKey(int32_t context, const char *name, const char *value) {
    // A "CSUM" line is the section's checksum, never a key.
    if (std::strcmp(name, PROFILE_KEY_CSUM) == 0) {
        profileSetDetail(context, "key name refused: CSUM is the section's checksum line");
        return PROFILE_STATUS_BAD_KEY_NAME;
    }
    const char *control = refusedControl(name);
    if (control != nullptr || !readsBackAs(name, PLAIN_VALUE)) {
        if (control != nullptr)
            profileSetDetail(context, "key name refused: it contains the control character 0x%02X",
                             static_cast<unsigned>(static_cast<unsigned char>(*control)));
        else if (std::strpbrk(name, " \t\v\f\r=") != nullptr)
            profileSetDetail(context, "key name refused: it contains whitespace or '='");
        else
            profileSetDetail(context, "key name refused: %s", readBackRule(name));
        return PROFILE_STATUS_BAD_KEY_NAME;
    }
    control = refusedControl(value);
    if (control != nullptr) {
        profileSetDetail(context, "value refused: it contains the control character 0x%02X",
                         static_cast<unsigned>(static_cast<unsigned char>(*control)));
        return PROFILE_STATUS_BAD_VALUE;
    }
    if (!readsBackAs(name, value)) {
        profileSetDetail(context, "value refused: %s", readBackRule(value));
        return PROFILE_STATUS_BAD_VALUE;
    }
    return 0;
}

// The checks every key operation starts with.  On 0, *collector is the
// file's; otherwise the status to return (recorded where a collector exists).
uint32_t startKeyCall(ProfileFile *file, const char *section, const char *version, const char *key,
                      ErrCollector **collector) {
    if (file == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    *collector = profileContextCollector(file->contextIndex);
    if (*collector == nullptr) return PROFILE_STATUS_BAD_LIB;
    if (section == nullptr || version == nullptr || key == nullptr)
        return profileFail(*collector, PROFILE_STATUS_BAD_PARAMS);
    return 0;
}

// The first section that matches, as profileFindSection finds it (with its
// statuses, recorded there).
uint32_t findSection(ProfileFile *file, const char *name, const char *version,
                     ErrCollector *collector, ProfileSection **found) {
    *found = nullptr;
    ProfileSectionInfo scratch{};
    uint32_t status = profileFindSection(file, name, version, &scratch);
    if (status != 0) return status;
    return profileSearchSection(collector, file, name, version, found);
}

// The number of keys named `name` in the section (0 when the walk fails).
uint32_t countKeys(ErrCollector *collector, ProfileSection *section, const char *name) {
    uint32_t count = 0;
    profileWalk(collector, profileSectionKeys(section), [&](void *element) {
        if (std::strcmp(profileKeyName(static_cast<ProfileKey *>(element)), name) == 0) ++count;
        return 0u;
    });
    return count;
}

// Puts the section's keys back in their order after `change` has seen each
// key: it returns the key to keep in that place (the same one
// or a new one from profileNewKey) or null to drop it; a key dropped or
// replaced stays unused in the file's arena until the file is freed.
// Nothing is allocated, and nothing fails once the list is checked: each
// key's list node lives in the key's own allocation (profileAddKey), so a
// key taken off the head goes back in at the tail without a new node.
// Returns 0, or 11 (recorded) for a key list not made that way, unchanged.
template <class Fn>
uint32_t rebuildKeys(ErrCollector *collector, ProfileArena *arena, ProfileSection *section,
                     Fn &&change) {
    CursorList *keys = profileSectionKeys(section);
    if (keys->count > 0 && keys->nodesInElements == 0)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    int32_t count = keys->count;
    for (int32_t i = 0; i < count; ++i) {
        void *element = nullptr;
        cursorListRewind(collector, keys);
        cursorListCurrent(collector, keys, &element);
        cursorListRemoveHead(collector, keys);
        auto *key = static_cast<ProfileKey *>(element);
        ProfileKey *keep = change(key);
        if (keep != nullptr) profileAddKey(collector, arena, section, keep);
    }
    return 0;
}

// After the keys changed: the section's damage, accepted by the caller, is
// gone, and its computed checksum is the sum over the new keys.  Fills
// *info when it is given.
uint32_t finishChange(ErrCollector *collector, ProfileFile *file, ProfileSection *section,
                      const char *name, const char *version, ProfileSectionInfo *info) {
    ProfileSectionDetail *detail = profileSectionOwnedDetail(section);
    if (detail != nullptr) detail->damaged = 0;
    // Forget the sum taken at load: a section whose keys were all removed
    // gained no key that would have made it stale.
    profileSetChecksum(collector, section, 0);
    uint32_t status =
        profileSectionChecksum(collector, profileFileContext(file)->transform, section);
    if (status != 0 || info == nullptr) return status;
    return profileFindSection(file, name, version, info);
}

bool isReserved(const char *section) { return std::strcmp(section, PROFILE_RESERVED_SECTION) == 0; }

} // namespace

uint32_t profileGetKey(ProfileFile *file, const char *section, const char *version, const char *key,
                       char *value, size_t valueSize, ProfileSectionInfo *info) {
    if (info != nullptr) std::memset(info, 0, sizeof *info);
    if (value != nullptr && valueSize > 0) value[0] = '\0';
    ErrCollector *collector = nullptr;
    uint32_t status = startKeyCall(file, section, version, key, &collector);
    if (status != 0) return status;
    if (value == nullptr || valueSize < PROFILE_VALUE_SIZE)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    ProfileSection *found = nullptr;
    status = findSection(file, section, version, collector, &found);
    if (status != 0) return status;
    if (info != nullptr) profileFindSection(file, section, version, info);
    const ProfileKey *match = nullptr;
    status = profileWalk(collector, profileSectionKeys(found), [&](void *element) {
        auto *k = static_cast<const ProfileKey *>(element);
        if (std::strcmp(profileKeyName(k), key) != 0) return 0u;
        match = k;
        return 1u; // the first one: ends the walk
    });
    if (match == nullptr)
        return status != 0 ? status : profileFail(collector, PROFILE_STATUS_NO_KEY);
    std::snprintf(value, valueSize, "%s", profileKeyValue(match));
    return 0;
}

uint32_t profileSetKey(ProfileFile *file, const char *section, const char *version, const char *key,
                       const char *value, uint32_t flags, ProfileSectionInfo *info) {
    if (info != nullptr) std::memset(info, 0, sizeof *info);
    ErrCollector *collector = nullptr;
    uint32_t status = startKeyCall(file, section, version, key, &collector);
    if (status != 0) return status;
    if (value == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    status = checkKey(file->contextIndex, key, value);
    if (status != 0) return profileFail(collector, status);
    if (isReserved(section)) return profileFail(collector, PROFILE_STATUS_BAD_SECTION_NAME);

    ProfileSection *found = nullptr;
    ProfileKey *newKey = nullptr;
    status = findSection(file, section, version, collector, &found);
    if (status == PROFILE_STATUS_NO_SECTION && (flags & PROFILE_KEYS_CREATE_SECTION) != 0) {
        // "[name ]" reads back with the version "*": a section created with
        // the empty version would not be found again by the same arguments
        // ("KTRDIST" is found by name alone and always has it).
        if (version[0] == '\0' && std::strcmp(section, PROFILE_SECTION_KTRDIST) != 0)
            return profileFail(collector, PROFILE_STATUS_BAD_VERSION);
        // The key first, so that a key that cannot be made leaves no section.
        // (A key left unused stays in the file's arena.)
        status = profileNewKey(collector, &file->arena, key, value, &newKey);
        if (status != 0) return status;
        ProfileSectionInfo created{};
        status = profileCreateSection(file, section, version, &created);
        if (status == 0) status = findSection(file, section, version, collector, &found);
        if (status != 0) return status;
    } else if (status != 0) {
        return status;
    } else if (profileSectionDetail(found)->damaged != 0 &&
               (flags & PROFILE_KEYS_ACCEPT_DAMAGE) == 0) {
        return profileFail(collector, PROFILE_STATUS_TAMPERED);
    }
    if (newKey == nullptr) {
        status = profileNewKey(collector, &file->arena, key, value, &newKey);
        if (status != 0) return status;
    }

    if (countKeys(collector, found, key) == 0) {
        status = profileAddKey(collector, &file->arena, found, newKey);
    } else {
        ProfileKey *replacement = newKey;
        status = rebuildKeys(collector, &file->arena, found, [&](ProfileKey *old) {
            if (std::strcmp(profileKeyName(old), key) != 0) return old;
            ProfileKey *keep = replacement != nullptr ? replacement : old;
            replacement = nullptr; // only the first key of the name changes
            return keep;
        });
    }
    if (status != 0) return status;
    return finishChange(collector, file, found, section, version, info);
}

uint32_t profileRemoveKey(ProfileFile *file, const char *section, const char *version,
                          const char *key, uint32_t flags, ProfileSectionInfo *info,
                          uint32_t *removed) {
    if (info != nullptr) std::memset(info, 0, sizeof *info);
    if (removed != nullptr) *removed = 0;
    ErrCollector *collector = nullptr;
    uint32_t status = startKeyCall(file, section, version, key, &collector);
    if (status != 0) return status;
    if (isReserved(section)) return profileFail(collector, PROFILE_STATUS_BAD_SECTION_NAME);
    ProfileSection *found = nullptr;
    status = findSection(file, section, version, collector, &found);
    if (status != 0) return status;
    if (profileSectionDetail(found)->damaged != 0 && (flags & PROFILE_KEYS_ACCEPT_DAMAGE) == 0)
        return profileFail(collector, PROFILE_STATUS_TAMPERED);
    uint32_t count = countKeys(collector, found, key);
    if (count == 0) return profileFail(collector, PROFILE_STATUS_NO_KEY);
    status = rebuildKeys(collector, &file->arena, found, [key](ProfileKey *old) -> ProfileKey * {
        return std::strcmp(profileKeyName(old), key) == 0 ? nullptr : old;
    });
    if (status != 0) return status;
    if (removed != nullptr) *removed = count;
    return finishChange(collector, file, found, section, version, info);
}

uint32_t profileDropRefusedKeys(ProfileFile *file, ProfileDroppedKeyFn dropped, void *user,
                                uint32_t *count) {
    if (count != nullptr) *count = 0;
    if (file == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    ErrCollector *collector = profileContextCollector(file->contextIndex);
    if (collector == nullptr) return PROFILE_STATUS_BAD_LIB;
    uint32_t total = 0;
    uint32_t status = profileWalk(collector, file->sections, [&](void *element) -> uint32_t {
        auto *section = static_cast<ProfileSection *>(element);
        uint32_t refused = 0;
        profileWalk(collector, profileSectionKeys(section), [&](void *k) {
            if (holdsRefusedControl(static_cast<const ProfileKey *>(k))) ++refused;
            return 0u;
        });
        if (refused == 0) return 0u;
        uint32_t rebuilt = rebuildKeys(collector, &file->arena, section, [&](ProfileKey *key) {
            if (!holdsRefusedControl(key)) return key;
            if (dropped != nullptr) dropped(section, key, user);
            return static_cast<ProfileKey *>(nullptr);
        });
        if (rebuilt != 0) return rebuilt;
        total += refused;
        // A damaged section stays damaged, with its stored checksum: what is
        // left is no more trusted than before.  Any other one gets the
        // checksum of the keys left.
        profileSetChecksum(collector, section, 0);
        return profileSectionChecksum(collector, profileFileContext(file)->transform, section);
    });
    if (count != nullptr) *count = total;
    return status;
}
