// Crash safety of the rewrite at close: a child process rewrites a large
// profile file over and over and is killed at a random moment, a few hundred
// times.  After every kill the stored file loads and is exactly one of the
// versions the child wrote (the old content, or a new one), never a mixture.
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
