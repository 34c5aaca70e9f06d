// The crash-safe rewrite primitives: temporary file beside the target,
// flush to disk, one-step replace.
#include "platform/fault.h"
#include "platform/replace.h"
#include "support/fixtures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ReplaceTest : testing::Test {
    ScratchDir dir;
    void TearDown() override { platFaultReset(); }

    std::string listing() const { return listFolder(dir.path()); }

    // Writes content to a new temporary file beside target and closes it.
    std::string makeTemp(const std::string &target, const std::string &content) {
        char temp[2048];
        FILE *f = nullptr;
        EXPECT_EQ(platCreateTempBeside(target.c_str(), temp, sizeof temp, &f), 0);
        if (f == nullptr) return {};
        fputs(content.c_str(), f);
        EXPECT_EQ(platSyncFile(f), 0);
        EXPECT_EQ(fclose(f), 0);
        return temp;
    }
};

TEST_F(ReplaceTest, TemporaryFileIsNewBesideTheTargetAndNamedAfterIt) {
    std::string target = dir.file("data.ini");
    ASSERT_TRUE(writeFile(target, "old\n"));
    char a[2048], b[2048];
    FILE *fa = nullptr, *fb = nullptr;
    ASSERT_EQ(platCreateTempBeside(target.c_str(), a, sizeof a, &fa), 0);
    ASSERT_EQ(platCreateTempBeside(target.c_str(), b, sizeof b, &fb), 0);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(std::string(a).rfind(target + ".~", 0), 0u) << a;
    EXPECT_EQ(strlen(a), target.size() + PLAT_TEMP_SUFFIX_LEN);
    EXPECT_EQ(readFile(a), "");
    fclose(fa);
    fclose(fb);
    EXPECT_EQ(platRemoveFile(a), 0);
    EXPECT_EQ(platRemoveFile(b), 0);
    EXPECT_EQ(platRemoveFile(b), -1);
    EXPECT_EQ(listing(), "data.ini");
}

TEST_F(ReplaceTest, CreateFailsCleanly) {
    char temp[2048] = "x";
    FILE *f = reinterpret_cast<FILE *>(1);
    // A folder that does not exist, a buffer too small for the name, a probe.
    EXPECT_EQ(platCreateTempBeside(dir.file("none/data.ini").c_str(), temp, sizeof temp, &f), -1);
    EXPECT_EQ(f, nullptr);
    std::string target = dir.file("data.ini");
    EXPECT_EQ(platCreateTempBeside(target.c_str(), temp, target.size() + 10, &f), -1);
    platFaultArm(PLAT_FAULT_FILE_TEMP, 0, 1);
    EXPECT_EQ(platCreateTempBeside(target.c_str(), temp, sizeof temp, &f), -1);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(listing(), "");
}

TEST_F(ReplaceTest, ReplaceSwapsContentInOneStep) {
    std::string target = dir.file("data.ini");
    ASSERT_TRUE(writeFile(target, "old content that is longer\n"));
    std::string temp = makeTemp(target, "new\n");
    EXPECT_EQ(platReplaceFile(temp.c_str(), target.c_str()), PLAT_REPLACE_DONE);
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_EQ(listing(), "data.ini");
    // A target that does not exist yet is simply created.
    std::string fresh = dir.file("fresh.ini");
    temp = makeTemp(fresh, "x\n");
    EXPECT_EQ(platReplaceFile(temp.c_str(), fresh.c_str()), PLAT_REPLACE_DONE);
    EXPECT_EQ(readFile(fresh), "x\n");
}

TEST_F(ReplaceTest, FailedReplaceLeavesTargetAndTemporaryFile) {
    std::string target = dir.file("data.ini");
    ASSERT_TRUE(writeFile(target, "old\n"));
    std::string temp = makeTemp(target, "new\n");
    platFaultArm(PLAT_FAULT_FILE_RENAME, 0, 1);
    EXPECT_EQ(platReplaceFile(temp.c_str(), target.c_str()), PLAT_REPLACE_UNCHANGED);
    EXPECT_EQ(readFile(target), "old\n");
    EXPECT_EQ(readFile(temp), "new\n");
    EXPECT_EQ(platRemoveFile(temp.c_str()), 0);
}

TEST_F(ReplaceTest, SyncReportsFailure) {
    std::string target = dir.file("data.ini");
    char temp[2048];
    FILE *f = nullptr;
    ASSERT_EQ(platCreateTempBeside(target.c_str(), temp, sizeof temp, &f), 0);
    fputs("abc", f);
    platFaultArm(PLAT_FAULT_FILE_SYNC, 0, 1);
    EXPECT_EQ(platSyncFile(f), -1);
    EXPECT_EQ(platSyncFile(f), 0);
    EXPECT_EQ(platSyncFile(nullptr), -1);
    fclose(f);
    EXPECT_EQ(readFile(temp), "abc");
    platRemoveFile(temp);
}

TEST_F(ReplaceTest, TargetHeldOpenByAReaderIsStillReplaced) {
    // The library's own read streams hold a file with read and write sharing
    // but without delete sharing; on Windows the move then fails and the
    // content is copied over the target in place.
    std::string target = dir.file("data.ini");
    ASSERT_TRUE(writeFile(target, "old content, longer than the new one\n"));
    FILE *reader = fopen(target.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    std::string temp = makeTemp(target, "new\n");
    PlatReplace r = platReplaceFile(temp.c_str(), target.c_str());
#ifdef _WIN32
    EXPECT_EQ(r, PLAT_REPLACE_COPIED);
    EXPECT_EQ(platRemoveFile(temp.c_str()), 0);
#else
    EXPECT_EQ(r, PLAT_REPLACE_DONE);
#endif
    fclose(reader);
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_EQ(listing(), "data.ini");
}

#ifdef _WIN32
// Only Windows falls back to an in-place copy; these drive it with probes on
// the copy while a reader holds the target.
TEST_F(ReplaceTest, InPlaceFallbackThatCannotStartLeavesTargetUnchanged) {
    std::string target = dir.file("data.ini");
    ASSERT_TRUE(writeFile(target, "old\n"));
    FILE *reader = fopen(target.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    std::string temp = makeTemp(target, "new content\n");
    platFaultArm(PLAT_FAULT_FILE_INPLACE, 0, 1);
    PlatReplace r = platReplaceFile(temp.c_str(), target.c_str());
    fclose(reader);
    EXPECT_EQ(r, PLAT_REPLACE_UNCHANGED);
    EXPECT_EQ(readFile(target), "old\n");
    EXPECT_EQ(readFile(temp), "new content\n");
}

TEST_F(ReplaceTest, InPlaceFallbackFailingMidwayKeepsTheNewContent) {
    std::string target = dir.file("data.ini");
    ASSERT_TRUE(writeFile(target, "old\n"));
    FILE *reader = fopen(target.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    std::string temp = makeTemp(target, "new content\n");
    platFaultArm(PLAT_FAULT_FILE_INPLACE, 1, 1);
    PlatReplace r = platReplaceFile(temp.c_str(), target.c_str());
    fclose(reader);
    EXPECT_EQ(r, PLAT_REPLACE_PARTIAL);
    EXPECT_EQ(readFile(temp), "new content\n");
}
#else
TEST_F(ReplaceTest, KeepsPermissionsAndFollowsSymbolicLinks) {
    fs::create_directory(dir.file("sub"));
    std::string real = dir.file("sub/real.ini");
    std::string link = dir.file("link.ini");
    ASSERT_TRUE(writeFile(real, "old\n"));
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, link);
    std::string temp = makeTemp(link, "new\n");
    EXPECT_EQ(fs::path(temp).parent_path(), fs::path(real).parent_path());
    EXPECT_EQ(platReplaceFile(temp.c_str(), link.c_str()), PLAT_REPLACE_DONE);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(real), "new\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(listing(), "link.ini sub");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("sub")), fs::directory_iterator()), 1);
}
#endif

} // namespace
