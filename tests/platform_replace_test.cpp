// The platform half of the rewrite: temporary names, the update open (lock,
// refusals, leftovers) and the rewrite of the opened file by its two paths.
#include "platform/fault.h"
#include "platform/read_file.h"
#include "platform/replace.h"
#include "platform/temp_name.h"
#include "platform/update_file.h"
#include "support/fixtures.h"
#include "support/process.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr unsigned SHORT_WAIT_MS = 200;

struct UpdateTest : testing::Test {
    ScratchDir dir;
    std::string path = dir.file("data.ini");
    void SetUp() override { ASSERT_TRUE(writeFile(path, "old content, longer than the new\n")); }
    void TearDown() override { platFaultReset(); }

    PlatUpdateFile *open(PlatUpdateOpen expected = PLAT_UPDATE_OPENED,
                         PlatUpdateMode mode = PLAT_UPDATE_EXISTING) {
        PlatUpdateFile *file = nullptr;
        FILE *stream = nullptr;
        EXPECT_EQ(platOpenForUpdate(path.c_str(), mode, SHORT_WAIT_MS, &file, &stream, nullptr),
                  expected);
        if (stream != nullptr) fclose(stream);
        EXPECT_EQ(file != nullptr, expected == PLAT_UPDATE_OPENED);
        return file;
    }
    // Writes content as the file's new content and finishes the rewrite.
    PlatRewrite rewrite(PlatUpdateFile *file, const std::string &content) {
        FILE *out = nullptr;
        EXPECT_EQ(platRewriteBegin(file, &out), 0);
        if (out == nullptr) return PLAT_REWRITE_REFUSED;
        fputs(content.c_str(), out);
        return platRewriteFinish(file, out);
    }
};

// What a read-only open of path reads ("" when it fails).
std::string readThroughOpen(const std::string &path) {
    FILE *stream = nullptr;
    if (platOpenForReading(path.c_str(), &stream, nullptr) != PLAT_READ_OPENED) return "";
    std::string text;
    char chunk[256];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, stream)) > 0;) text.append(chunk, n);
    platEndRead(stream);
    fclose(stream);
    return text;
}

TEST(TempNameTest, FreshNamesFollowThePatternAndFitOrFail) {
    auto take = [](const char *, void *) { return PLAT_CREATE_DONE; };
    char a[64], b[64];
    ASSERT_EQ(platCreateUnderFreshName("p.ini", a, sizeof a, take, nullptr), 0);
    ASSERT_EQ(platCreateUnderFreshName("p.ini", b, sizeof b, take, nullptr), 0);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(strlen(a), 5 + PLAT_TEMP_SUFFIX_LEN);
    EXPECT_TRUE(platIsTempNameOf("p.ini", a));
    for (const char *other : {"p.ini", "p.ini.~kept", "p.ini.~1234567", "p.ini.~123456789",
                              "p.ini.~1234567g", "q.ini.~12345678", "p.ini~.12345678"})
        EXPECT_FALSE(platIsTempNameOf("p.ini", other)) << other;
    // A name that does not fit, a creation that fails, every name taken.
    EXPECT_EQ(platCreateUnderFreshName("p.ini", a, 5 + PLAT_TEMP_SUFFIX_LEN, take, nullptr), -1);
    auto fail = [](const char *, void *) { return PLAT_CREATE_FAILED; };
    EXPECT_EQ(platCreateUnderFreshName("p.ini", a, sizeof a, fail, nullptr), -1);
    int tries = 0;
    auto taken = [](const char *, void *count) {
        ++*static_cast<int *>(count);
        return PLAT_CREATE_EXISTS;
    };
    EXPECT_EQ(platCreateUnderFreshName("p.ini", a, sizeof a, taken, &tries), -1);
    EXPECT_EQ(tries, PLAT_TEMP_NAME_ATTEMPTS);
    EXPECT_STREQ(a, "");
}

TEST_F(UpdateTest, AtomicRewriteReplacesTheFileAndLeavesNothingBeside) {
    PlatUpdateFile *file = open();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(rewrite(file, "new\n"), PLAT_REWRITE_REPLACED);
    platCloseUpdate(file);
    EXPECT_EQ(readFile(path), "new\n");
    EXPECT_EQ(listFolder(dir.path()), "data.ini");
}

TEST_F(UpdateTest, ReadStreamReadsTheFileAndTheModesCreateOrEmptyIt) {
    PlatUpdateFile *file = nullptr;
    FILE *stream = nullptr;
    ASSERT_EQ(platOpenForUpdate(path.c_str(), PLAT_UPDATE_EXISTING, SHORT_WAIT_MS, &file, &stream,
                                nullptr),
              PLAT_UPDATE_OPENED);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, "old content, longer than the new\n");
    fclose(stream);
    platCloseUpdate(file);
    platCloseUpdate(open(PLAT_UPDATE_OPENED, PLAT_UPDATE_CREATE)); // a present file is kept
    EXPECT_EQ(readFile(path), "old content, longer than the new\n");
    file = open(PLAT_UPDATE_OPENED, PLAT_UPDATE_EMPTY);
    EXPECT_EQ(readFile(path), "");
    platCloseUpdate(file);
    // A missing file: refused, or created by either mode that creates.
    for (PlatUpdateMode mode : {PLAT_UPDATE_CREATE, PLAT_UPDATE_EMPTY}) {
        path = dir.file(mode == PLAT_UPDATE_CREATE ? "fresh.ini" : "fresh2.ini");
        open(PLAT_UPDATE_MISSING);
        EXPECT_FALSE(fileExists(path));
        platCloseUpdate(open(PLAT_UPDATE_OPENED, mode));
        EXPECT_TRUE(fileExists(path));
    }
}

// The read stream shares the open file that holds the lock; closing the
// update releases the lock all the same, in either order.
TEST_F(UpdateTest, CloseReleasesTheLockWhileTheReadStreamStaysOpen) {
    PlatUpdateFile *file = nullptr;
    FILE *stream = nullptr;
    ASSERT_EQ(platOpenForUpdate(path.c_str(), PLAT_UPDATE_EXISTING, SHORT_WAIT_MS, &file, &stream,
                                nullptr),
              PLAT_UPDATE_OPENED);
    platCloseUpdate(file);
    PlatUpdateFile *next = open();
    EXPECT_NE(next, nullptr);
    char line[64] = {};
    EXPECT_NE(fgets(line, sizeof line, stream), nullptr); // still readable
    fclose(stream);
    platCloseUpdate(next);
}

TEST_F(UpdateTest, SecondUpdaterWaitsForTheLockAndThenGetsTheNewFile) {
    PlatUpdateFile *first = open();
    ASSERT_NE(first, nullptr);
    open(PLAT_UPDATE_BUSY); // within the short wait
    EXPECT_EQ(rewrite(first, "first\n"), PLAT_REWRITE_REPLACED);
    // The name now holds a new, whole file: an updater that waited on the
    // old one finds the path changed and takes the new one.
    PlatUpdateFile *second = nullptr;
    FILE *stream = nullptr;
    ASSERT_EQ(platOpenForUpdate(path.c_str(), PLAT_UPDATE_EXISTING, SHORT_WAIT_MS, &second, &stream,
                                nullptr),
              PLAT_UPDATE_OPENED);
    char line[64] = {};
    EXPECT_NE(fgets(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, "first\n");
    fclose(stream);
    platCloseUpdate(first);
    open(PLAT_UPDATE_BUSY);
    platCloseUpdate(second);
    platCloseUpdate(open());
    // The probe stands for another holder.
    platFaultArm(PLAT_FAULT_FILE_LOCK, 0, 1);
    open(PLAT_UPDATE_BUSY);
    EXPECT_EQ(readFile(path), "first\n");
}

TEST_F(UpdateTest, RewriteOfAFileWhosePathNowLeadsElsewhereWritesNothing) {
    PlatUpdateFile *file = open();
    ASSERT_NE(file, nullptr);
    fs::rename(fs::u8path(path), fs::u8path(dir.file("moved.ini")));
    ASSERT_TRUE(writeFile(path, "someone else's\n"));
    EXPECT_EQ(rewrite(file, "new\n"), PLAT_REWRITE_MOVED);
    platCloseUpdate(file);
    EXPECT_EQ(readFile(path), "someone else's\n");
    EXPECT_EQ(readFile(dir.file("moved.ini")), "old content, longer than the new\n");
    EXPECT_EQ(listFolder(dir.path()), "data.ini moved.ini");
}

TEST_F(UpdateTest, InPlaceRewriteWhenTheIdentityCannotBeKept) {
    // The probe stands for an owner that a new file cannot be given.
    PlatUpdateFile *file = open();
    ASSERT_NE(file, nullptr);
    platFaultArm(PLAT_FAULT_FILE_OWNER, 0, 1);
    EXPECT_EQ(rewrite(file, "new\n"), PLAT_REWRITE_IN_PLACE);
    EXPECT_EQ(listFolder(dir.path()), "data.ini");
    // The handle opened at open sees the new content: the same file.
    EXPECT_EQ(rewrite(file, "again\n"), PLAT_REWRITE_REPLACED);
    platCloseUpdate(file);
    EXPECT_EQ(readFile(path), "again\n");

    // Failing before a byte is written leaves the file; failing part way
    // keeps the whole new content beside it, for the next open.
    file = open();
    platFaultArm(PLAT_FAULT_FILE_OWNER, 0, 2);
    platFaultArm(PLAT_FAULT_FILE_INPLACE, 0, 1);
    EXPECT_EQ(rewrite(file, "newer\n"), PLAT_REWRITE_REFUSED);
    EXPECT_EQ(readFile(path), "again\n");
    EXPECT_EQ(listFolder(dir.path()), "data.ini");
    platFaultArm(PLAT_FAULT_FILE_INPLACE, 1, 1);
    EXPECT_EQ(rewrite(file, "newer\n"), PLAT_REWRITE_PARTIAL);
    platCloseUpdate(file);
    // Its redo copy: read instead of the torn file, and written in place by
    // the next update open.
    EXPECT_EQ(readThroughOpen(path), "newer\n");
    EXPECT_NE(readFile(path), "newer\n");
    platCloseUpdate(open());
    EXPECT_EQ(readFile(path), "newer\n");
    EXPECT_EQ(listFolder(dir.path()), "data.ini");
}

// A redo copy whose content no longer matches its checksum, or one that
// names another file, is neither read nor written into the file.
TEST_F(UpdateTest, RedoCopyThatDoesNotMatchIsNeverTrusted) {
    struct Case {
        const char *name;
        std::function<void(std::string &copy)> spoil;
    };
    const std::vector<Case> cases = {
        {"changed content", [](std::string &copy) { copy.back() = '!'; }},
        {"another file's identity",
         [](std::string &copy) { copy[40] = copy[40] == '0' ? '1' : '0'; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeFile(path, "old\n"));
        PlatUpdateFile *file = open();
        ASSERT_NE(file, nullptr);
        platFaultArm(PLAT_FAULT_FILE_OWNER, 0, 1);
        platFaultArm(PLAT_FAULT_FILE_INPLACE, 1, 1);
        EXPECT_EQ(rewrite(file, "newer\n"), PLAT_REWRITE_PARTIAL);
        platCloseUpdate(file);
        const std::string torn = readFile(path); // grown to the new length
        std::string redo;
        for (const auto &e : fs::directory_iterator(fs::u8path(dir.path())))
            if (e.path().filename().string() != "data.ini") redo = e.path().filename().string();
        ASSERT_NE(redo.find(".~redo."), std::string::npos) << listFolder(dir.path());
        std::string copy = readFile(dir.file(redo));
        c.spoil(copy);
        ASSERT_TRUE(writeFile(dir.file(redo), copy));
        EXPECT_EQ(readThroughOpen(path), torn);
        platCloseUpdate(open());
        EXPECT_EQ(readFile(path), torn);
        EXPECT_EQ(readFile(dir.file(redo)), copy); // not this open's to remove
        fs::remove(fs::u8path(dir.file(redo)));
    }
}

TEST_F(UpdateTest, LeftoversOfKilledRewritesGoAtTheNextUpdateOpenOnly) {
    const std::string leftover = path + ".~0123abcd";
    const std::string unrelated = dir.file("other.ini.~0123abcd");
    ASSERT_TRUE(writeFile(leftover, "half\n"));
    ASSERT_TRUE(writeFile(unrelated, "x\n"));
    FILE *reader = fopen(path.c_str(), "rb"); // a read-only open removes nothing
    ASSERT_NE(reader, nullptr);
    fclose(reader);
    EXPECT_TRUE(fileExists(leftover));
    platCloseUpdate(open());
    EXPECT_EQ(listFolder(dir.path()), "data.ini other.ini.~0123abcd");
}

TEST_F(UpdateTest, FolderIsNotOpenedForUpdate) {
    path = dir.file("folder.ini");
    fs::create_directory(fs::u8path(path));
    open(PLAT_UPDATE_NOT_REGULAR);
    EXPECT_TRUE(fs::is_directory(fs::u8path(path)));
}

#ifndef _WIN32
// A reader holds the file shared only while it loads, and a reader that
// comes while an updater waits leaves the file to the updater: readers
// that follow each other cannot keep it out.
TEST_F(UpdateTest, ReaderThatComesWhileAnUpdaterWaitsLeavesItTheFile) {
    FILE *first = nullptr, *second = nullptr;
    ASSERT_EQ(platOpenForReading(path.c_str(), &first, nullptr), PLAT_READ_OPENED);
    PlatUpdateOpen opened = PLAT_UPDATE_MISSING;
    PlatUpdateFile *file = nullptr;
    std::thread updater([&] {
        FILE *stream = nullptr;
        opened =
            platOpenForUpdate(path.c_str(), PLAT_UPDATE_EXISTING, 3000, &file, &stream, nullptr);
        if (stream != nullptr) fclose(stream);
    });
    platSleepMs(200); // the updater waits for the first reader now
    ASSERT_EQ(platOpenForReading(path.c_str(), &second, nullptr), PLAT_READ_OPENED);
    platEndRead(first); // the second reader is still loading
    fclose(first);
    updater.join();
    EXPECT_EQ(opened, PLAT_UPDATE_OPENED);
    platCloseUpdate(file);
    char line[64] = {};
    EXPECT_NE(fgets(line, sizeof line, second), nullptr);
    EXPECT_STREQ(line, "old content, longer than the new\n");
    fclose(second);
}

TEST_F(UpdateTest, NewContentIsNeverReadableByOthersBeforeItHasTheStoredMode) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    PlatUpdateFile *file = open();
    ASSERT_NE(file, nullptr);
    FILE *out = nullptr;
    ASSERT_EQ(platRewriteBegin(file, &out), 0);
    int temps = 0;
    for (const auto &e : fs::directory_iterator(dir.path())) {
        if (!platIsTempNameOf("data.ini", e.path().filename().c_str())) continue;
        struct stat info {};
        ASSERT_EQ(stat(e.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        ++temps;
    }
    EXPECT_EQ(temps, 1);
    fputs("new\n", out);
    EXPECT_EQ(platRewriteFinish(file, out), PLAT_REWRITE_REPLACED);
    platCloseUpdate(file);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}
#endif

} // namespace
