#include "profile/records.h"

#include "diag/safecopy.h"
#include "frame/alloc.h"
#include "platform/pages.h"
#include "profile/fail.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

struct ProfileArenaBlock {
    ProfileArenaBlock *next;
    uint64_t size;  // of the whole block
    uint64_t pages; // 1: whole pages (QDMfreePages), 0: a heap block; keeps what follows aligned
};

namespace {

// Every allocation is a multiple of this, so each record starts aligned.
constexpr uint32_t ARENA_ALIGN = 8;
static_assert(alignof(ProfileSection) <= ARENA_ALIGN && alignof(ProfileKey) <= ARENA_ALIGN &&
              alignof(ProfileSectionDetail) <= ARENA_ALIGN &&
              sizeof(ProfileArenaBlock) % ARENA_ALIGN == 0);
// A small file's first block is small, so that opening it costs little;
// each further heap block doubles, up to the cap, so that a larger file
// takes few blocks and wastes little at the end of each.
constexpr uint64_t ARENA_FIRST_BLOCK = 16 * 1024;
constexpr uint64_t ARENA_BLOCK_CAP = 1024 * 1024;
// A file at least this large starts with a block of whole pages.
constexpr uint64_t ARENA_PAGES_FROM = 1024 * 1024;
// The first page block of a file of n bytes holds n + n/4 bytes (a file of
// key lines takes about 1.2 times its size in records), and the first n of
// them are brought in at once, in huge pages; the rest keeps small pages.
// A file of short headers takes more and goes on into further blocks; one
// of comments takes less and leaves the rest of the block untouched (never
// brought in, it costs no memory).  No first block beyond this: a larger
// file goes on in further blocks.
constexpr uint64_t ARENA_FIRST_PAGES_CAP = uint64_t{1} << 30;

uint64_t roundToPages(uint64_t size) {
    return (size + PLAT_PAGES_UNIT - 1) / PLAT_PAGES_UNIT * PLAT_PAGES_UNIT;
}

char *sectionTexts(ProfileSection *section) {
    return reinterpret_cast<char *>(section) + offsetof(ProfileSection, texts);
}

// A new block of at least `payload` bytes after its header: whole pages
// once the file is large (or will be), else a heap block.  Null when it
// cannot be had.
ProfileArenaBlock *newBlock(ProfileArena *arena, uint64_t payload, bool own) {
    const uint64_t header = sizeof(ProfileArenaBlock);
    uint64_t size = 0;
    uint64_t populate = 0;
    uint64_t huge = 0;
    bool pages = false;
    if (!own && arena->blocks == nullptr && arena->sizeHint >= ARENA_PAGES_FROM) {
        uint64_t hint =
            arena->sizeHint < ARENA_FIRST_PAGES_CAP ? arena->sizeHint : ARENA_FIRST_PAGES_CAP;
        size =
            roundToPages(hint + hint / 4 > payload + header ? hint + hint / 4 : payload + header);
        populate = hint;
        huge = hint;
        pages = true;
    } else if (!own && (arena->held >= ARENA_BLOCK_CAP || arena->sizeHint >= ARENA_PAGES_FROM)) {
        // A quarter of what the file holds so far: few blocks.  Huge pages
        // all through, none brought in ahead: how much of the last block
        // the file will fill is not known, and what it leaves untouched
        // costs no memory.
        uint64_t want = arena->held / 4 > payload + header ? arena->held / 4 : payload + header;
        size = roundToPages(want);
        huge = size;
        pages = true;
    } else {
        size = own || payload + header > arena->nextBlockSize ? payload + header
                                                              : arena->nextBlockSize;
    }
    if (size > SIZE_MAX || (!pages && size > UINT32_MAX)) return nullptr;
    auto *block = static_cast<ProfileArenaBlock *>(
        pages ? QDMallocPages(static_cast<size_t>(size), static_cast<size_t>(populate),
                              static_cast<size_t>(huge))
              : QDMalloc(static_cast<uint32_t>(size)));
    if (block == nullptr) return nullptr;
    block->size = size;
    block->pages = pages ? 1 : 0;
    arena->held += size;
    if (!own && !pages && arena->nextBlockSize < ARENA_BLOCK_CAP) arena->nextBlockSize *= 2;
    return block;
}

} // namespace

void *profileArenaAlloc(ProfileArena *arena, uint32_t size) {
    if (arena == nullptr || size > UINT32_MAX - ARENA_ALIGN) return nullptr;
    size = (size + ARENA_ALIGN - 1) & ~(ARENA_ALIGN - 1);
    if (size <= arena->left) {
        void *at = arena->next;
        arena->next += size;
        arena->left -= size;
        return at;
    }
    if (arena->nextBlockSize == 0) arena->nextBlockSize = ARENA_FIRST_BLOCK;
    // A request larger than a quarter of a heap block gets a block of its
    // own behind the current one, which goes on serving: a long value does
    // not cut the current block short.
    bool own =
        arena->blocks != nullptr && size > (arena->nextBlockSize - sizeof(ProfileArenaBlock)) / 4;
    ProfileArenaBlock *block = newBlock(arena, size, own);
    if (block == nullptr) return nullptr;
    char *start = reinterpret_cast<char *>(block + 1);
    if (own) {
        block->next = arena->blocks->next;
        arena->blocks->next = block;
        return start;
    }
    block->next = arena->blocks;
    arena->blocks = block;
    arena->next = start + size;
    arena->left = block->size - sizeof(ProfileArenaBlock) - size;
    return start;
}

void profileArenaFree(ProfileArena *arena) {
    if (arena == nullptr) return;
    ProfileArenaBlock *block = arena->blocks;
    while (block != nullptr) {
        ProfileArenaBlock *next = block->next;
        if (block->pages != 0)
            QDMfreePages(block, static_cast<size_t>(block->size));
        else
            std::free(block);
        block = next;
    }
    *arena = ProfileArena{};
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

const ProfileSectionDetail profileNoDetail{};
const ProfileSectionDetail profileNoDetailZeroSum{{}, 0, 0, 0, 0, PROFILE_CSUM_NUMBER, 0};

uint32_t profileSectionOwnDetail(ErrCollector *collector, ProfileArena *arena,
                                 ProfileSection *section, ProfileSectionDetail **out) {
    if (out != nullptr) *out = nullptr;
    if (section == nullptr || out == nullptr)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    if (!profileSectionSharesDetail(section)) {
        *out = profileSectionOwnedDetail(section);
        return 0;
    }
    const ProfileSectionDetail *shared = section->detail;
    // The keys and their list live in the arena: the list frees nothing.
    if (arena == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    void *memory = profileArenaAlloc(arena, sizeof(ProfileSectionDetail));
    CursorList *keys = nullptr;
    if (cursorListCreateIn(collector, memory, &keys) != 0)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    auto *detail = static_cast<ProfileSectionDetail *>(memory);
    detail->storedChecksum = shared->storedChecksum;
    detail->checksumTransform = shared->checksumTransform;
    detail->damaged = shared->damaged;
    detail->checksumKnown = shared->checksumKnown;
    detail->checksumLine = shared->checksumLine;
    detail->keysAfterChecksum = shared->keysAfterChecksum;
    section->detail = detail;
    *out = detail;
    return 0;
}

uint32_t profileSectionSetChecksumLine(ErrCollector *collector, ProfileArena *arena,
                                       ProfileSection *section, uint32_t stored,
                                       uint32_t checksumLine) {
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    // A file of headers saved with checksums is mostly such sections.
    if (profileSectionSharesDetail(section) && stored == 0 && checksumLine == PROFILE_CSUM_NUMBER) {
        section->detail = &profileNoDetailZeroSum;
        return 0;
    }
    ProfileSectionDetail *detail = nullptr;
    uint32_t status = profileSectionOwnDetail(collector, arena, section, &detail);
    if (status != 0) return status;
    detail->storedChecksum = stored;
    detail->checksumLine = checksumLine;
    return 0;
}

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
    section->detail = &profileNoDetail;
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
    // Most keys come after the section's first: no call for them.
    ProfileSectionDetail *detail = profileSectionOwnedDetail(section);
    if (detail == nullptr) {
        uint32_t status = profileSectionOwnDetail(collector, arena, section, &detail);
        if (status != 0) return status;
    }
    if (cursorListAppendInElement(collector, &detail->keys, &key->node, key) != 0)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    detail->checksumKnown = 0;
    return 0;
}
