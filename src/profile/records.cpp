#include "profile/records.h"

#include "diag/safecopy.h"
#include "frame/alloc.h"
#include "profile/context.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

struct ProfileArenaBlock {
    ProfileArenaBlock *next;
    uint64_t size; // of the whole block; keeps what follows aligned
};

namespace {

// Every allocation is a multiple of this, so each record starts aligned.
constexpr uint32_t ARENA_ALIGN = 8;
static_assert(alignof(ProfileSection) <= ARENA_ALIGN && alignof(ProfileKey) <= ARENA_ALIGN &&
              alignof(CursorList) <= ARENA_ALIGN);
// A file's first block is small, so that opening a small file costs little;
// each further block doubles, up to the cap, so that a large file takes few
// blocks and wastes little at the end of each.
constexpr uint32_t ARENA_FIRST_BLOCK = 16 * 1024;
constexpr uint32_t ARENA_BLOCK_CAP = 1024 * 1024;

char *sectionTexts(ProfileSection *section) {
    return reinterpret_cast<char *>(section) + offsetof(ProfileSection, texts);
}

} // namespace

void *profileArenaAlloc(ProfileArena *arena, uint32_t size) {
    if (arena == nullptr || size > UINT32_MAX - ARENA_ALIGN - sizeof(ProfileArenaBlock))
        return nullptr;
    size = (size + ARENA_ALIGN - 1) & ~(ARENA_ALIGN - 1);
    if (size <= arena->left) {
        void *at = arena->next;
        arena->next += size;
        arena->left -= size;
        return at;
    }
    if (arena->nextBlockSize == 0) arena->nextBlockSize = ARENA_FIRST_BLOCK;
    uint32_t payload = arena->nextBlockSize - static_cast<uint32_t>(sizeof(ProfileArenaBlock));
    // A request larger than a quarter of a block gets a block of its own
    // behind the current one, which goes on serving: a long value does not
    // cut the current block short.
    bool own = size > payload / 4 && arena->blocks != nullptr;
    uint32_t blockSize = own || size > payload
                             ? size + static_cast<uint32_t>(sizeof(ProfileArenaBlock))
                             : arena->nextBlockSize;
    auto *block = static_cast<ProfileArenaBlock *>(QDMalloc(blockSize));
    if (block == nullptr) return nullptr;
    block->size = blockSize;
    char *start = reinterpret_cast<char *>(block + 1);
    if (own) {
        block->next = arena->blocks->next;
        arena->blocks->next = block;
        return start;
    }
    block->next = arena->blocks;
    arena->blocks = block;
    if (arena->nextBlockSize < ARENA_BLOCK_CAP) arena->nextBlockSize *= 2;
    arena->next = start + size;
    arena->left = blockSize - static_cast<uint32_t>(sizeof(ProfileArenaBlock)) - size;
    return start;
}

void profileArenaFree(ProfileArena *arena) {
    if (arena == nullptr) return;
    ProfileArenaBlock *block = arena->blocks;
    while (block != nullptr) {
        ProfileArenaBlock *next = block->next;
        std::free(block);
        block = next;
    }
    *arena = ProfileArena{nullptr, nullptr, 0, 0};
}

const char *profileSectionName(const ProfileSection *section) {
    return reinterpret_cast<const char *>(section) + offsetof(ProfileSection, texts);
}

const char *profileSectionVersion(const ProfileSection *section) {
    const char *name = profileSectionName(section);
    return name + std::strlen(name) + 1;
}

const char *profileKeyName(const ProfileKey *key) {
    return reinterpret_cast<const char *>(key + 1);
}

const char *profileKeyValue(const ProfileKey *key) {
    const char *name = profileKeyName(key);
    return name + std::strlen(name) + 1;
}

CursorList profileNoKeys;

uint32_t profileNewSection(ErrCollector *collector, ProfileArena *arena, const char *name,
                           const char *version, ProfileSection **out) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || arena == nullptr || name == nullptr || version == nullptr) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    size_t nameLength = QDMboundedLength(name, PROFILE_NAME_SIZE - 1);
    size_t versionLength = QDMboundedLength(version, PROFILE_VERSION_SIZE - 1);
    size_t size = offsetof(ProfileSection, texts) + nameLength + 1 + versionLength + 1;
    if (size < sizeof(ProfileSection)) size = sizeof(ProfileSection);
    auto *section =
        static_cast<ProfileSection *>(profileArenaAlloc(arena, static_cast<uint32_t>(size)));
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    std::memset(section, 0, sizeof *section);
    char *texts = sectionTexts(section);
    std::memcpy(texts, name, nameLength);
    texts[nameLength] = '\0';
    std::memcpy(texts + nameLength + 1, version, versionLength);
    texts[nameLength + 1 + versionLength] = '\0';
    section->keys = &profileNoKeys;
    *out = section;
    return 0;
}

uint32_t profileNewKey(ErrCollector *collector, ProfileArena *arena, const char *name,
                       const char *value, ProfileKey **out) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || arena == nullptr || name == nullptr || value == nullptr ||
        std::strcmp(name, PROFILE_KEY_CSUM) == 0) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    return profileNewKeyOf(collector, arena, name,
                           QDMboundedLength(name, PROFILE_KEY_NAME_SIZE - 1), value,
                           QDMboundedLength(value, PROFILE_VALUE_SIZE - 1), out);
}

uint32_t profileNewKeyOf(ErrCollector *collector, ProfileArena *arena, const char *name,
                         size_t nameLength, const char *value, size_t valueLength,
                         ProfileKey **out) {
    // The record, its list node and both texts in one piece sized to the
    // texts.
    size_t size = sizeof(ProfileKey) + nameLength + 1 + valueLength + 1;
    auto *key = static_cast<ProfileKey *>(profileArenaAlloc(arena, static_cast<uint32_t>(size)));
    if (key == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    char *texts = reinterpret_cast<char *>(key + 1);
    std::memcpy(texts, name, nameLength);
    texts[nameLength] = '\0';
    std::memcpy(texts + nameLength + 1, value, valueLength);
    texts[nameLength + 1 + valueLength] = '\0';
    *out = key;
    return 0;
}

uint32_t profileAddKey(ErrCollector *collector, ProfileArena *arena, ProfileSection *section,
                       ProfileKey *key) {
    if (section == nullptr || key == nullptr)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    if (section->keys == &profileNoKeys) {
        // The keys and their list live in the arena: the list frees nothing.
        if (arena == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
        CursorList *keys = nullptr;
        if (cursorListCreateIn(collector, profileArenaAlloc(arena, sizeof(CursorList)), &keys) != 0)
            return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
        section->keys = keys;
    }
    if (cursorListAppendInElement(collector, section->keys, &key->node, key) != 0)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    ++section->keyCount;
    section->checksumKnown = 0;
    return 0;
}
