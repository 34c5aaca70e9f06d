// Library contexts, file records, sections and keys.
#include "frame/alloc.h"
#include "profile/context.h"
#include "profile/linecodec.h"
#include "profile/lineio.h"
#include "support/collector_fixture.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

uint32_t callerRead(char *buffer, uint32_t, FILE *, uint64_t) {
    buffer[0] = '\0';
    return 0;
}
uint32_t callerWrite(const char *, FILE *, uint64_t) { return 0; }
uint32_t callerEncode(const char *, char *, uint32_t, uint32_t, uint64_t) { return 0; }
uint32_t callerDecode(const char *, char *, uint32_t, uint32_t, uint64_t) { return 0; }

struct ProfileContextTest : testing::Test {
    void TearDown() override {
        qdmAllocFailReset();
        for (uint32_t i = 0; i < PROFILE_CONTEXT_COUNT; ++i) profileCloseLib(&i);
    }
    static bool allFree() {
        for (const ProfileLibContext &slot : profileContexts) {
            if (slot.collector != nullptr || slot.readLine != nullptr || slot.index != 0) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(ProfileContextTest, TheTableHasAHundredSlotsTakenLowestFirst) {
    for (int32_t i = 0; i < PROFILE_CONTEXT_COUNT; ++i) {
        int32_t index = -5;
        ASSERT_EQ(profileOpenLib(&index, 0, 0, nullptr, nullptr, nullptr, nullptr), 0u);
        ASSERT_EQ(index, i);
        EXPECT_EQ(profileContexts[i].index, i);
        EXPECT_NE(profileContextCollector(i), nullptr);
    }
    EXPECT_EQ(profileFindFreeContext(), -1);
    int32_t index = 0;
    EXPECT_EQ(profileOpenLib(&index, 0, 0, nullptr, nullptr, nullptr, nullptr), 13u);
    EXPECT_EQ(index, -1);

    uint32_t five = 5;
    ASSERT_EQ(profileCloseLib(&five), 0u);
    EXPECT_EQ(profileContextCollector(5), nullptr);
    EXPECT_EQ(profileFindFreeContext(), 5);
    ASSERT_EQ(profileOpenLib(&index, 0, 0, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(index, 5);

    // Slot 13 free while 0-12 are open: 13 is a slot, not the "none free" status.
    uint32_t thirteen = 13;
    ASSERT_EQ(profileCloseLib(&thirteen), 0u);
    ASSERT_EQ(profileOpenLib(&index, 0, 0, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(index, 13);
}

TEST_F(ProfileContextTest, CloseLibArguments) {
    EXPECT_EQ(profileCloseLib(nullptr), 11u);
    uint32_t index = 100;
    EXPECT_EQ(profileCloseLib(&index), 9u);
    index = static_cast<uint32_t>(-1);
    EXPECT_EQ(profileCloseLib(&index), 9u);
    index = 42;
    EXPECT_EQ(profileCloseLib(&index), 0u); // a free slot
    EXPECT_EQ(profileContextCollector(-1), nullptr);
    EXPECT_EQ(profileContextCollector(100), nullptr);
}

TEST_F(ProfileContextTest, LineFunctionsAndTransformParameter) {
    int32_t index = -1;
    // I/O mode 0: the stream functions, whatever the caller gives.
    ASSERT_EQ(
        profileOpenLib(&index, 77, PROFILE_IO_STREAM, nullptr, nullptr, callerRead, callerWrite),
        0u);
    const ProfileLibContext &a = profileContexts[index];
    EXPECT_EQ(a.ioMode, PROFILE_IO_STREAM);
    EXPECT_EQ(a.readLine, defaultReadLine);
    EXPECT_EQ(a.writeLine, defaultWriteLine);
    EXPECT_EQ(a.encodeLine, defaultEncodeLine);
    EXPECT_EQ(a.decodeLine, defaultDecodeLine);
    EXPECT_EQ(a.transform, PROFILE_DEFAULT_TRANSFORM); // no decodeLine: the default

    // An encodeLine alone does not bring the caller's transform parameter in.
    ASSERT_EQ(
        profileOpenLib(&index, 77, PROFILE_IO_STREAM, callerEncode, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(profileContexts[index].encodeLine, callerEncode);
    EXPECT_EQ(profileContexts[index].decodeLine, defaultDecodeLine);
    EXPECT_EQ(profileContexts[index].transform, PROFILE_DEFAULT_TRANSFORM);

    // A decodeLine does; I/O mode 1 carries the caller's read and write.
    ASSERT_EQ(profileOpenLib(&index, 0, PROFILE_IO_CALLER, nullptr, callerDecode, callerRead,
                             callerWrite),
              0u);
    const ProfileLibContext &c = profileContexts[index];
    EXPECT_EQ(c.transform, 0u);
    EXPECT_EQ(c.decodeLine, callerDecode);
    EXPECT_EQ(c.encodeLine, defaultEncodeLine);
    EXPECT_EQ(c.readLine, callerRead);
    EXPECT_EQ(c.writeLine, callerWrite);
    EXPECT_EQ(c.ioMode, PROFILE_IO_CALLER);
}

TEST_F(ProfileContextTest, RefusedOpensTakeNoSlot) {
    struct Case {
        uint32_t ioMode;
        ProfileReadLineFn read;
        ProfileWriteLineFn write;
    } cases[] = {
        {PROFILE_IO_CALLER, callerRead, nullptr},
        {PROFILE_IO_CALLER, nullptr, callerWrite},
        {2, callerRead, callerWrite},
        {0xFFFFFFFFu, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        int32_t index = 3;
        EXPECT_EQ(profileOpenLib(&index, 1, c.ioMode, nullptr, nullptr, c.read, c.write), 11u);
        EXPECT_EQ(index, -1);
        EXPECT_TRUE(allFree());
    }
    int32_t index = 3;
    qdmAllocFailAt(1);
    EXPECT_EQ(profileOpenLib(&index, 1, 0, nullptr, nullptr, nullptr, nullptr), 14u);
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(allFree());
    EXPECT_EQ(profileOpenLib(nullptr, 1, 0, nullptr, nullptr, nullptr, nullptr), 11u);
    EXPECT_TRUE(allFree());
    ASSERT_EQ(profileOpenLib(&index, 1, 0, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(index, 0);
}

TEST_F(ProfileContextTest, FileContextIsFoundOnlyWhileOpen) {
    int32_t index = -1;
    ASSERT_EQ(profileOpenLib(&index, 0, 0, nullptr, nullptr, nullptr, nullptr), 0u);
    ProfileFile file{};
    file.contextIndex = index;
    EXPECT_EQ(profileFileContext(&file), &profileContexts[index]);
    uint32_t closing = static_cast<uint32_t>(index);
    ASSERT_EQ(profileCloseLib(&closing), 0u);
    EXPECT_EQ(profileFileContext(&file), nullptr);
    file.contextIndex = 100;
    EXPECT_EQ(profileFileContext(&file), nullptr);
    EXPECT_EQ(profileFileContext(nullptr), nullptr);
}

TEST(ProfileRecords, FileSectionsAndKeys) {
    TestCollector collector;
    ProfileFile *file = nullptr;
    ASSERT_EQ(profileNewFile(collector, &file), 0u);
    EXPECT_EQ(file->sectionCount, 0);
    EXPECT_EQ(file->sections->count, 0);

    ProfileSection *reserved = nullptr, *main = nullptr;
    ASSERT_EQ(profileNewSection(collector, &file->arena, "S-y-S-t-E-m", "1", &reserved), 0u);
    ASSERT_EQ(profileNewSection(collector, &file->arena, "Main", "1.0", &main), 0u);
    EXPECT_STREQ(profileSectionName(main), "Main");
    EXPECT_STREQ(profileSectionVersion(main), "1.0");
    EXPECT_EQ(profileSectionKeyCount(main), 0u);
    // Keyless sections share one detail record until their first key.
    EXPECT_EQ(profileSectionDetail(main), &profileNoDetail);
    EXPECT_EQ(profileSectionDetail(reserved), &profileNoDetail);
    EXPECT_EQ(profileSectionDetail(main)->damaged | main->checksum |
                  profileSectionDetail(main)->storedChecksum,
              0u);
    ASSERT_EQ(profileAddSection(collector, file, reserved), 0u);
    EXPECT_EQ(file->sectionCount, 0); // appended, not counted
    ASSERT_EQ(profileAddSection(collector, file, main), 0u);
    EXPECT_EQ(file->sectionCount, 1);
    EXPECT_EQ(file->sections->count, 2);

    const std::string longValue(4500, 'v');
    ProfileKey *key = nullptr;
    ASSERT_EQ(profileNewKey(collector, &file->arena, "name", longValue.c_str(), &key), 0u);
    EXPECT_STREQ(profileKeyName(key), "name");
    EXPECT_EQ(profileKeyValue(key), longValue);
    ASSERT_EQ(profileAddKey(collector, &file->arena, main, key), 0u);
    ASSERT_EQ(profileNewKey(collector, &file->arena, "b", "", &key), 0u);
    ASSERT_EQ(profileAddKey(collector, &file->arena, main, key), 0u);
    EXPECT_EQ(profileSectionKeyCount(main), 2u);
    EXPECT_NE(profileSectionDetail(main), &profileNoDetail);
    EXPECT_EQ(profileNoDetail.keys.count, 0);
    EXPECT_EQ(collector.c->count, 0);

    // Texts beyond the field limits are cut there.
    ProfileSection *cut = nullptr;
    ASSERT_EQ(profileNewSection(collector, &file->arena, std::string(90, 'n').c_str(),
                                std::string(30, 'v').c_str(), &cut),
              0u);
    EXPECT_EQ(std::string(profileSectionName(cut)), std::string(76, 'n'));
    EXPECT_EQ(std::string(profileSectionVersion(cut)), std::string(20, 'v'));
    ASSERT_EQ(profileNewKey(collector, &file->arena, std::string(70, 'k').c_str(),
                            std::string(4600, 'x').c_str(), &key),
              0u);
    EXPECT_EQ(std::string(profileKeyName(key)), std::string(60, 'k'));
    EXPECT_EQ(std::string(profileKeyValue(key)), std::string(4500, 'x'));
    ASSERT_EQ(profileAddKey(collector, &file->arena, cut, key), 0u);
    ASSERT_EQ(profileAddSection(collector, file, cut), 0u);

    EXPECT_EQ(profileFreeFile(collector, file), 0u); // frees all of it
}

TEST(ProfileRecords, ArenaHandsOutAlignedPiecesThatKeepTheirBytesUntilFreed) {
    // Small pieces, a piece longer than a block and small pieces after it:
    // each aligned for a record and none overlapping another (each keeps the
    // byte pattern it was filled with).  Everything goes at once with
    // profileArenaFree (AddressSanitizer checks the leaks).
    ProfileArena arena{};
    std::vector<std::pair<unsigned char *, uint32_t>> pieces;
    const uint32_t sizes[] = {1, 7, 8, 60, 4600, 3, 2 * 1024 * 1024, 17, 5000, 9};
    for (int round = 0; round < 100; ++round) {
        uint32_t size = sizes[round % std::size(sizes)];
        auto *piece = static_cast<unsigned char *>(profileArenaAlloc(&arena, size));
        ASSERT_NE(piece, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(piece) % 8, 0u);
        std::memset(piece, round & 0xFF, size);
        pieces.emplace_back(piece, size);
    }
    for (size_t i = 0; i < pieces.size(); ++i)
        for (uint32_t b = 0; b < pieces[i].second; b += 97)
            ASSERT_EQ(pieces[i].first[b], i & 0xFF) << i;
    profileArenaFree(&arena);
    EXPECT_EQ(arena.blocks, nullptr);

    // A block that cannot be had: null, and the memory-failure flag.
    qdmMemFailure = 0;
    qdmAllocFailAt(1);
    EXPECT_EQ(profileArenaAlloc(&arena, 16), nullptr);
    qdmAllocFailReset();
    EXPECT_EQ(qdmMemFailure.load(), 1);
    qdmMemFailure = 0;
    EXPECT_NE(profileArenaAlloc(&arena, 16), nullptr); // usable again
    profileArenaFree(&arena);
}

TEST(ProfileRecords, ArgumentFailuresAreElevenAndRecorded) {
    TestCollector collector;
    ProfileArena arena{};
    ProfileKey *key = reinterpret_cast<ProfileKey *>(1);
    EXPECT_EQ(profileNewKey(collector, &arena, "CSUM", "1", &key), 11u);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(profileNewKey(collector, &arena, nullptr, "1", &key), 11u);
    EXPECT_EQ(profileNewKey(collector, &arena, "a", nullptr, &key), 11u);
    EXPECT_EQ(profileNewKey(collector, nullptr, "a", "1", &key), 11u);
    ProfileSection *section = nullptr;
    EXPECT_EQ(profileNewSection(collector, &arena, nullptr, "1", &section), 11u);
    EXPECT_EQ(profileNewSection(collector, nullptr, "a", "1", &section), 11u);
    EXPECT_EQ(profileAddKey(collector, &arena, nullptr, nullptr), 11u);
    EXPECT_EQ(profileAddSection(collector, nullptr, nullptr), 11u);
    EXPECT_EQ(profileNewFile(collector, nullptr), 11u);
    EXPECT_EQ(profileFreeFile(collector, nullptr), 11u);
    ProfileFile noList{};
    EXPECT_EQ(profileFreeFile(collector, &noList), 11u);
    EXPECT_EQ(collector.c->count, 1);
    EXPECT_STREQ(errCollectorText(collector, 0),
                 "Error   (OXB0011): Error : Check the calling parameters");
}

// Builds a file of two sections with two keys each, as a load does, and
// frees it; any status stops the build, and what was built is freed with
// the file.  The file's arena is made to look full before each piece, so
// that every piece takes a block of its own and each of them can fail.
uint32_t buildFile(ErrCollector *collector) {
    ProfileFile *file = nullptr;
    uint32_t status = profileNewFile(collector, &file);
    for (int s = 0; s < 2 && status == 0; ++s) {
        ProfileSection *section = nullptr;
        file->arena.left = 0;
        status = profileNewSection(collector, &file->arena, s == 0 ? "One" : "Two", "1", &section);
        for (int k = 0; k < 2 && status == 0; ++k) {
            ProfileKey *key = nullptr;
            file->arena.left = 0;
            status = profileNewKey(collector, &file->arena, "key", "value", &key);
            file->arena.left = 0;
            if (status == 0) status = profileAddKey(collector, &file->arena, section, key);
        }
        if (status == 0) status = profileAddSection(collector, file, section);
    }
    if (file != nullptr) {
        EXPECT_EQ(profileFreeFile(collector, file), 0u);
    }
    return status;
}

TEST(ProfileRecords, AllocationFailureAtEveryStepGivesFourteenOrElevenAndLeaksNothing) {
    // Allocations in order: file, its list; per section: its record (which
    // holds its node in the file's list), per key: its record (which holds
    // its node), after the first the section's key list.
    const uint32_t expected[] = {14, 11, 14, 14, 11, 14, 14, 14, 11, 14};
    int n = 1;
    for (;; ++n) {
        TestCollector collector;
        qdmAllocFailAt(n);
        uint32_t status = buildFile(collector);
        bool fired = qdmAllocFailFired();
        qdmAllocFailReset();
        if (!fired) {
            EXPECT_EQ(status, 0u);
            break;
        }
        ASSERT_LE(n, static_cast<int>(std::size(expected)));
        EXPECT_EQ(status, expected[n - 1]) << "allocation " << n;
        EXPECT_TRUE(collector.holds(status == 14 ? "(OXB0014)" : "(OXB0011)")) << n;
        // A list that could not get memory says so under the general catalogue.
        EXPECT_EQ(collector.holds("(KTR0121)"), status == 11) << n;
    }
    EXPECT_EQ(n, static_cast<int>(std::size(expected)) + 1);
}

} // namespace
