// Crash safety of the rewrite at close: a child process rewrites a large
// profile file over and over and is killed at a random moment, a few hundred
// times.  After every kill the stored file loads and is exactly one of the
// versions the child wrote (the old content, or a new one), never a mixture.
#include "platform/fault.h"
#include "profile/loadsave.h"
#include "profile/operations.h"
#include "support/child.h"
#include "support/fixtures.h"
#include "support/profile_io.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr char ROUND_PREFIX[] = "Round";

// Base sections: enough text that a rewrite takes a while.
constexpr int BASE_SECTIONS = 250;
constexpr int KEYS_PER_SECTION = 8;

std::string baseContent() {
    std::string text;
    for (int s = 0; s < BASE_SECTIONS; ++s) {
        text += "[Base" + std::to_string(s) + " 1." + std::to_string(s % 7) + "]\n";
        for (int k = 0; k < KEYS_PER_SECTION; ++k)
            text += "key" + std::to_string(k) + " = " +
                    std::string(180, static_cast<char>('a' + (s + k) % 26)) +
                    std::to_string(s * 100 + k) + "\n";
    }
    return text;
}

// The number of "Round" sections a file holds; the child adds the next.
int rounds(ProfileFile *file) {
    int n = 0;
    for (void *e : listElements(file->sections))
        if (std::strncmp(profileSectionName(static_cast<ProfileSection *>(e)), ROUND_PREFIX,
                         sizeof ROUND_PREFIX - 1) == 0)
            ++n;
    return n;
}

KV_CHILD_ROLE(rewrite_forever) {
    // argv[0]: the profile file.  Each round opens it for update, adds the
    // section "Round<n>" after the n rounds before, and closes (rewrites) it.
    if (argc < 1) return 2;
    int32_t index = -1;
    if (profileOpenLib(&index, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0)
        return 3;
    for (int i = 0; i < 100000; ++i) {
        ProfileFile *file = nullptr;
        if (profileOpenFile(index, argv[0], PROFILE_OPEN_UPDATE, &file, 0, 0) != 0) return 4;
        ProfileSectionInfo info;
        std::string name = ROUND_PREFIX + std::to_string(rounds(file));
        if (profileCreateSection(file, name.c_str(), "1", &info) != 0) return 5;
        if (profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0) != 0) return 6;
    }
    return 0;
}

// The NUMSECTION value of a stored file, or -1.
int storedSectionCount(const std::string &text) {
    size_t at = text.find("NUMSECTION = ");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 13);
}

TEST(RewriteCrash, KilledRewriteLeavesTheOldOrTheNewFile) {
#if defined(_WIN32)
    constexpr int TRIALS = 80; // starting a process under Wine takes a tenth of a second or more
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int TRIALS = 100; // the same code as the plain build, several times slower
#else
    constexpr int TRIALS = 300;
#endif
    ScratchDir dir;
    const std::string path = dir.file("large.ini");
    TestContext ctx{PROFILE_IO_STREAM};
    ASSERT_TRUE(writeFile(path, baseContent()));
    ProfileFile *file = nullptr;
    ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 0u);
    ASSERT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0), 0u); // with checksums now
    ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0), 0u);
    const std::string base = describe(file, false);
    ASSERT_EQ(profileCloseFile(&file, 0, 0), 0u);
    std::printf("file of %zu bytes\n", readFile(path).size());

    const unsigned seed =
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 random(seed);
    std::uniform_int_distribution<unsigned> delayMs(0, 150);
    int changed = 0, interrupted = 0, last = 0;
    for (int trial = 0; trial < TRIALS; ++trial) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", trial " + std::to_string(trial));
        PlatProcess child = startChild("rewrite_forever", {path});
        ASSERT_NE(child, nullptr);
        platSleepMs(delayMs(random));
        platKillProcess(child);
        platWaitProcess(child);

        // Whatever the moment, the stored file is one whole version.
        const std::string text = readFile(path);
        ProfileFile *stored = nullptr;
        ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &stored, 0, 0), 0u);
        int n = rounds(stored);
        std::string expected = base;
        for (int r = 0; r < n; ++r)
            expected += " " + std::string(ROUND_PREFIX) + std::to_string(r) + "/1{}";
        // (Compared whole, shown short: the description is long.)
        std::string found = describe(stored, false);
        EXPECT_TRUE(found == expected)
            << "a mixture: " << found.size() << " characters of sections, " << expected.size()
            << " expected for round " << n;
        EXPECT_EQ(storedSectionCount(text), BASE_SECTIONS + n);
        EXPECT_EQ(profileCloseFile(&stored, 0, 0), 0u);
        EXPECT_GE(n, last); // never an older version than one already seen
        if (n > last) ++changed;
        last = n;

        // A rewrite killed before its replace leaves its temporary file.
        for (const auto &e : fs::directory_iterator(fs::u8path(dir.path()))) {
            if (e.path().filename().string() != "large.ini") {
                ++interrupted;
                fs::remove(e.path());
            }
        }
        if (HasFailure()) break;
    }
    std::printf(
        "crash trials %d: %d after a finished rewrite, %d interrupted mid-rewrite, %d rewrites "
        "in all\n",
        TRIALS, changed, interrupted, last);
}

} // namespace

#ifndef _WIN32
// The in-place path (a file with a second hard link) under crashes at each
// of its steps in turn: writing the redo copy, flushing and naming it,
// each write over the file, the cut, the flush and the removal of the
// copy.  After every crash a read-only open sees the old or the new
// content whole, and the next update open finishes the write (or finds
// none begun) and leaves nothing beside the file.
const std::string STORED =
    "[S-y-S-t-E-m 1]\nFILENAME = p\nNUMSECTION = 1\n\n[Main 1]\na = " + std::string(3000, 'x') +
    "\nb = " + std::string(3000, 'y') + "\n";

KV_CHILD_ROLE(update_in_place_crashing) {
    // argv[0]: the file; argv[1]: how many steps of the rewrite pass before
    // the crash.  Exits PLAT_CRASH_EXIT when it crashed, 0 when the update
    // finished first, else the failing status.
    if (argc < 2) return 100;
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    if (profileOpenFile(ctx.index, argv[0], PROFILE_OPEN_UPDATE, &file, 0, 0) != 0) return 101;
    ProfileSectionInfo info;
    // The new content is shorter than the old: a torn file has the new
    // head and the old tail.
    if (profileRemoveKey(file, "Main", "1", "b", 0, &info, nullptr) != 0 ||
        profileCreateSection(file, "New", "1", &info) != 0)
        return 102;
    platFaultArm(PLAT_FAULT_CRASH, std::atoi(argv[1]), 1);
    return static_cast<int>(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0));
}

std::string readOnlySections(const TestContext &ctx, const std::string &path) {
    ProfileFile *file = nullptr;
    uint32_t status = profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0);
    if (status != 0) return "status " + std::to_string(status);
    std::string d = describe(file, false);
    profileCloseFile(&file, 0, 0);
    return d;
}

TEST(RewriteCrash, InPlaceWriteCrashedAtEachStepLeavesAWholeVersion) {
    ScratchDir dir;
    const std::string path = dir.file("p.ini");
    const std::string other = dir.file("other-name.ini");
    TestContext ctx{PROFILE_IO_STREAM};
    const std::string oldSections =
        "Main/1{a=" + std::string(3000, 'x') + ",b=" + std::string(3000, 'y') + "}";
    const std::string newSections = "Main/1{a=" + std::string(3000, 'x') + "} New/1{}";
    int crashed = 0, rolledForward = 0;
    for (int step = 0; step < 40; ++step) {
        SCOPED_TRACE("crash after " + std::to_string(step) + " steps");
        fs::remove(fs::u8path(other));
        ASSERT_TRUE(writeFile(path, STORED));
        fs::create_hard_link(fs::u8path(path), fs::u8path(other));
        PlatProcess child = startChild("update_in_place_crashing", {path, std::to_string(step)});
        ASSERT_NE(child, nullptr);
        int code = platWaitProcess(child);
        ASSERT_TRUE(code == 0 || code == PLAT_CRASH_EXIT) << code;
        std::string seen = readOnlySections(ctx, path);
        EXPECT_TRUE(seen == oldSections || seen == newSections) << seen.substr(0, 200);
        // The next update open finishes what was begun: never an older
        // version than a reader saw (it may finish a write whose copy was
        // whole before any reader could find it).
        ProfileFile *file = nullptr;
        ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 0u);
        std::string loaded = describe(file, false);
        EXPECT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0), 0u);
        EXPECT_TRUE(loaded == newSections || (loaded == oldSections && seen == oldSections))
            << loaded.substr(0, 200);
        if (code != 0 && loaded == newSections) ++rolledForward;
        EXPECT_EQ(readOnlySections(ctx, other), loaded);
        EXPECT_EQ(listFolder(dir.path()), "other-name.ini p.ini");
        if (HasFailure() || code == 0) break;
        ++crashed;
    }
    EXPECT_GT(crashed, 5);
    std::printf("%d crashes, %d of them finished by the next open\n", crashed, rolledForward);
}

KV_CHILD_ROLE(update_in_place_rounds) {
    // argv[0]: a file with a second hard link (so every rewrite goes in
    // place); argv[1]: rounds.  Each round adds a section "RoundN".
    if (argc < 2) return 100;
    TestContext ctx{PROFILE_IO_STREAM};
    for (int i = 0; i < std::atoi(argv[1]); ++i) {
        ProfileFile *file = nullptr;
        if (profileOpenFile(ctx.index, argv[0], PROFILE_OPEN_UPDATE, &file, 0, 0) != 0) return 4;
        ProfileSectionInfo info;
        std::string name = ROUND_PREFIX + std::to_string(rounds(file));
        if (profileCreateSection(file, name.c_str(), "1", &info) != 0) return 5;
        if (profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0) != 0) return 6;
    }
    return 0;
}

// Readers while another process rewrites a file in place over and over:
// every read-only open succeeds and sees one whole version.
TEST(RewriteCrash, ReadersDuringInPlaceWritesSeeWholeVersions) {
    ScratchDir dir;
    const std::string path = dir.file("large.ini");
    ASSERT_TRUE(writeFile(path, baseContent()));
    fs::create_hard_link(fs::u8path(path), fs::u8path(dir.file("other-name.ini")));
    TestContext ctx{PROFILE_IO_STREAM};
    PlatProcess child = startChild("update_in_place_rounds", {path, "150"});
    ASSERT_NE(child, nullptr);
    int reads = 0, last = 0;
    for (; reads < 2000; ++reads) {
        ProfileFile *file = nullptr;
        uint32_t status = profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0);
        ASSERT_EQ(status, 0u) << "read " << reads << ": " << profileContextDetail(ctx.index);
        int n = rounds(file);
        profileCloseFile(&file, 0, 0);
        EXPECT_GE(n, last);
        last = n;
        if (n >= 150) break;
    }
    EXPECT_EQ(platWaitProcess(child), 0);
    std::printf("%d reads saw %d rewrites in place\n", reads, last);
}
#endif
