#include "profile/records.h"

#include "frame/alloc.h"
#include "profile/context.h"

#include <cstdlib>
#include <cstring>

namespace {

// Release callback of a section's key list: the key and its texts are one
// allocation.
void releaseKey(ErrCollector *, CursorNode *node) {
    std::free(node->element);
    node->element = nullptr;
}

// Copies at most size-1 characters of text into a field of size bytes and
// zero-fills the rest.
void copyField(char *field, size_t size, const char *text) {
    std::memset(field, 0, size);
    std::strncpy(field, text, size - 1);
}

// The length of text, at most limit.
size_t boundedLength(const char *text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

} // namespace

uint32_t profileNewSection(ErrCollector *collector, const char *name, const char *version,
                           ProfileSection **out) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || name == nullptr || version == nullptr) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    auto *section = static_cast<ProfileSection *>(QDMalloc(sizeof(ProfileSection)));
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    std::memset(section, 0, sizeof *section);
    copyField(section->name, sizeof section->name, name);
    copyField(section->version, sizeof section->version, version);
    if (cursorListCreate(collector, &section->keys) != 0) {
        std::free(section);
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    cursorListSetRelease(collector, section->keys, releaseKey);
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
    size_t nameLength = boundedLength(name, PROFILE_KEY_NAME_SIZE - 1);
    size_t valueLength = boundedLength(value, PROFILE_VALUE_SIZE - 1);
    size_t size = sizeof(ProfileKey) + nameLength + 1 + valueLength + 1;
    auto *key = static_cast<ProfileKey *>(QDMalloc(static_cast<uint32_t>(size)));
    if (key == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    key->name = reinterpret_cast<char *>(key + 1);
    key->value = key->name + nameLength + 1;
    std::memcpy(key->name, name, nameLength);
    key->name[nameLength] = '\0';
    std::memcpy(key->value, value, valueLength);
    key->value[valueLength] = '\0';
    *out = key;
    return 0;
}

uint32_t profileAddKey(ErrCollector *collector, ProfileSection *section, ProfileKey *key) {
    if (section == nullptr || key == nullptr ||
        cursorListAppend(collector, section->keys, key) != 0) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    ++section->keyCount;
    return 0;
}

void profileFreeSection(ErrCollector *collector, ProfileSection *section) {
    if (section == nullptr) return;
    cursorListDestroy(collector, &section->keys);
    std::free(section);
}
