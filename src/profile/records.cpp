#include "profile/records.h"

#include "diag/safecopy.h"
#include "frame/alloc.h"
#include "profile/context.h"

#include <cstdlib>
#include <cstring>

namespace {

// Release callback of a section's key list: the key, its list node and its
// texts are one allocation, so the node goes with it.
void releaseKey(ErrCollector *, CursorNode *node) {
    void *key = node->element;
    node->element = nullptr;
    std::free(key);
}

// The list node inside a key's allocation, right after the record.
CursorNode *keyNode(ProfileKey *key) { return reinterpret_cast<CursorNode *>(key + 1); }

} // namespace

CursorList profileNoKeys;

uint32_t profileNewSection(ErrCollector *collector, const char *name, const char *version,
                           ProfileSection **out) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || name == nullptr || version == nullptr) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    size_t nameLength = QDMboundedLength(name, PROFILE_NAME_SIZE - 1);
    size_t versionLength = QDMboundedLength(version, PROFILE_VERSION_SIZE - 1);
    size_t size = sizeof(ProfileSection) + nameLength + 1 + versionLength + 1;
    auto *section = static_cast<ProfileSection *>(QDMalloc(static_cast<uint32_t>(size)));
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    std::memset(section, 0, sizeof *section);
    section->name = reinterpret_cast<char *>(section + 1);
    section->version = section->name + nameLength + 1;
    std::memcpy(section->name, name, nameLength);
    section->name[nameLength] = '\0';
    std::memcpy(section->version, version, versionLength);
    section->version[versionLength] = '\0';
    section->keys = &profileNoKeys;
    *out = section;
    return 0;
}

uint32_t profileNewKey(ErrCollector *collector, const char *name, const char *value,
                       ProfileKey **out) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || name == nullptr || value == nullptr ||
        std::strcmp(name, PROFILE_KEY_CSUM) == 0) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    // The record and both texts in one block sized to the texts, each text
    // bounded by its field limit.
    size_t nameLength = QDMboundedLength(name, PROFILE_KEY_NAME_SIZE - 1);
    size_t valueLength = QDMboundedLength(value, PROFILE_VALUE_SIZE - 1);
    static_assert(sizeof(ProfileKey) % alignof(CursorNode) == 0);
    size_t size = sizeof(ProfileKey) + sizeof(CursorNode) + nameLength + 1 + valueLength + 1;
    auto *key = static_cast<ProfileKey *>(QDMalloc(static_cast<uint32_t>(size)));
    if (key == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    key->name = reinterpret_cast<char *>(keyNode(key) + 1);
    key->value = key->name + nameLength + 1;
    std::memcpy(key->name, name, nameLength);
    key->name[nameLength] = '\0';
    std::memcpy(key->value, value, valueLength);
    key->value[valueLength] = '\0';
    *out = key;
    return 0;
}

uint32_t profileAddKey(ErrCollector *collector, ProfileSection *section, ProfileKey *key) {
    if (section == nullptr || key == nullptr)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    if (section->keys == &profileNoKeys) {
        CursorList *keys = nullptr;
        if (cursorListCreate(collector, &keys) != 0)
            return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
        cursorListSetRelease(collector, keys, releaseKey);
        section->keys = keys;
    }
    if (cursorListAppendInElement(collector, section->keys, keyNode(key), key) != 0)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    ++section->keyCount;
    section->checksumKnown = 0;
    return 0;
}

void profileFreeSection(ErrCollector *collector, ProfileSection *section) {
    if (section == nullptr) return;
    if (section->keys != &profileNoKeys) cursorListDestroy(collector, &section->keys);
    std::free(section);
}
