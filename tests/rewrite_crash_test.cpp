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
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <grp.h>
#include <unistd.h>
#endif

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

// The in-place path under crashes at each of its steps in turn: writing
// the redo copy, flushing and naming it, each write over the file, the
// cut, the flush and the removal of the copy.  After every crash a
// read-only open sees the old or the new content whole, and the next
// update open finishes the write (or finds none begun) and leaves nothing
// beside the file.  The opens after the crash may be another user's.
const std::string STORED =
    "[S-y-S-t-E-m 1]\nFILENAME = p\nNUMSECTION = 1\n\n[Main 1]\na = " + std::string(3000, 'x') +
    "\nb = " + std::string(3000, 'y') + "\n";
const std::string OLD_SECTIONS =
    "Main/1{a=" + std::string(3000, 'x') + ",b=" + std::string(3000, 'y') + "}";
const std::string NEW_SECTIONS = "Main/1{a=" + std::string(3000, 'x') + "} New/1{}";

// Makes this process the user and group given as texts ("-": stays).
bool become(const char *user, const char *group) {
    if (std::strcmp(user, "-") == 0) return true;
#ifdef _WIN32
    (void)group;
    return false;
#else
    gid_t g = static_cast<gid_t>(std::atoi(group));
    return setgroups(1, &g) == 0 && setgid(g) == 0 &&
           setuid(static_cast<uid_t>(std::atoi(user))) == 0;
#endif
}

KV_CHILD_ROLE(update_in_place_crashing) {
    // argv: the file, how many steps of the rewrite pass before the crash,
    // user, group.  Exits PLAT_CRASH_EXIT when it crashed, 0 when the update
    // finished first, else the failing status.
    if (argc < 4 || !become(argv[2], argv[3])) return 100;
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

constexpr int SAW_OLD = 0, SAW_NEW = 1, SAW_OTHER = 2;

KV_CHILD_ROLE(open_and_tell) {
    // argv: the file, "read" or "update", user, group.  Opens it (an update
    // rewrites it unchanged); exits SAW_OLD, SAW_NEW or SAW_OTHER for what
    // it loaded, or 10 + the failing status.
    if (argc < 4 || !become(argv[2], argv[3])) return 100;
    TestContext ctx{PROFILE_IO_STREAM};
    const bool update = std::strcmp(argv[1], "update") == 0;
    ProfileFile *file = nullptr;
    uint32_t status = profileOpenFile(
        ctx.index, argv[0], update ? PROFILE_OPEN_UPDATE : PROFILE_OPEN_READ, &file, 0, 0);
    if (status != 0) return 10 + static_cast<int>(status);
    std::string seen = describe(file, false);
    status = profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0);
    if (status != 0) return 10 + static_cast<int>(status);
    return seen == OLD_SECTIONS ? SAW_OLD : seen == NEW_SECTIONS ? SAW_NEW : SAW_OTHER;
}

bool runsAsSuperuser() {
#ifdef _WIN32
    return false;
#else
    return geteuid() == 0;
#endif
}

int run(const char *role, const std::vector<std::string> &args) {
    PlatProcess child = startChild(role, args);
    return child == nullptr ? -1 : platWaitProcess(child);
}

struct CrashCase {
    const char *name;
    bool needsRoot;
    // Makes the file in dir (so that its update goes in place); returns its
    // path.  The other names in the folder are to stay as they are.
    std::function<std::string(const ScratchDir &dir)> setUp;
    const char *writer[2]; // user and group of the crashed update ("-": this one)
    const char *next[2];   // of the opens after it
};

TEST(RewriteCrash, InPlaceWriteCrashedAtEachStepLeavesAWholeVersion) {
    const std::vector<CrashCase> cases = {
        {"a file with a second hard link",
         false,
         [](const ScratchDir &d) {
             std::string path = d.file("p.ini");
             writeFile(path, STORED);
             fs::create_hard_link(fs::u8path(path), fs::u8path(d.file("other-name.ini")));
             return path;
         },
         {"-", "-"},
         {"-", "-"}},
#ifndef _WIN32
        {"another user's group-shared file in a set-group-id folder, written by one member and "
         "opened next by another",
         true,
         [](const ScratchDir &d) {
             std::string folder = d.file("shared");
             fs::create_directory(folder);
             chown(folder.c_str(), 0, 4300);
             chmod(folder.c_str(), 02775);
             std::string path = folder + "/p.ini";
             writeFile(path, STORED);
             chown(path.c_str(), 4321, 4300);
             chmod(path.c_str(), 0660);
             return path;
         },
         {"4322", "4300"},
         {"4323", "4300"}},
#endif
    };
    for (const CrashCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !runsAsSuperuser()) {
            std::printf("skipped without the superuser: %s\n", c.name);
            continue;
        }
        int crashed = 0, finished = 0;
        for (int step = 0; step < 40; ++step) {
            SCOPED_TRACE("crash after " + std::to_string(step) + " steps");
            ScratchDir dir;
            const std::string path = c.setUp(dir);
            const std::string folder = fs::path(path).parent_path().string();
            const std::string names = listFolder(folder);
            int code = run("update_in_place_crashing",
                           {path, std::to_string(step), c.writer[0], c.writer[1]});
            ASSERT_TRUE(code == 0 || code == PLAT_CRASH_EXIT) << code;
            int seen = run("open_and_tell", {path, "read", c.next[0], c.next[1]});
            EXPECT_TRUE(seen == SAW_OLD || seen == SAW_NEW) << seen;
            // The next update open finishes what was begun: never an older
            // version than a reader saw (it may finish a write whose copy
            // was whole before any reader could find it).
            int loaded = run("open_and_tell", {path, "update", c.next[0], c.next[1]});
            EXPECT_TRUE(loaded == SAW_NEW || (loaded == SAW_OLD && seen == SAW_OLD)) << loaded;
            EXPECT_EQ(run("open_and_tell", {path, "read", c.next[0], c.next[1]}), loaded);
            EXPECT_EQ(listFolder(folder), names);
            if (HasFailure() || code == 0) break;
            ++crashed;
            if (loaded == SAW_NEW) ++finished;
        }
        EXPECT_GT(crashed, 5);
        std::printf("%s: %d crashes, %d of them finished by the next open\n", c.name, crashed,
                    finished);
    }
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
