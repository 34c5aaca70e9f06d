// Damaged and hostile files, opened read-only and for update: a file the
// component refuses gives a clear status, leaves that status's text in the
// collector and stays on disk byte for byte as it was; a file it accepts
// loses nothing when it is rewritten.
#include "platform/file.h"
#include "profile/loadsave.h"
#include "profile/operations.h"
#include "support/child.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/profile_io.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string GOOD = "[S-y-S-t-E-m 1]\nFILENAME = p.ini\nNUMSECTION = 1\n\n[Main 1.0]\na = x\n";

struct Hostile {
    const char *name;
    std::string content;
    uint32_t status; // of the open, in both open modes
};

// The code's text, as the collector composes it.
std::string statusText(uint32_t status) {
    switch (status) {
    case 2:
        return profileErrorText(2, "Error : The given file does not exist");
    case 8:
        return profileErrorText(8, "Error : File is found to be tampered");
    case 11:
        return profileErrorText(11, "Error : Check the calling parameters");
    default:
        return "(OXB" + std::to_string(status) + ")";
    }
}

std::string line(size_t length, char fill) { return std::string(length, fill); }

// One file per rule of the format that refuses a file, and the other
// hostile contents.
std::vector<Hostile> hostileContents() {
    const std::string head = "[S-y-S-t-E-m 1]\nFILENAME = p.ini\n[Main 1.0]\na = x\n";
    return {
        {"a value holding <", head + "b = 1<2\n", 8},
        {"a value holding >", head + "b = 1>2\n", 8},
        {"a comment line", "# made by hand\n" + head, 8},
        {"a value holding @", head + "mail = me@host\n", 8},
        {"a value holding ?", head + "b = why?\n", 8},
        {"a header without ]", head + "[Other 1\nb = 2\n", 8},
        {"a section name of 77", head + "[" + line(77, 'n') + " 1]\n", 8},
        {"a version of 21", head + "[Other " + line(21, '1') + "]\n", 8},
        {"a blank before ]", head + "[Other 1 ]\n", 8},
        {"a key name of 61", head + line(61, 'k') + " = v\n", 8},
        {"a value of 4501", head + "b = " + line(4501, 'v') + "\n", 8},
        {"an empty value", head + "b =\n", 8},
        {"an empty key name", head + "= v\n", 8},
        {"a [ in a value", head + "b = a[b\n", 8},
        {"a foreign key in the reserved section", "[S-y-S-t-E-m 1]\nOWNER = me\n", 8},
        {"CSUM in the reserved section", "[S-y-S-t-E-m 1]\nCSUM = 1\n", 8},
        // A line longer than the read buffer is read in pieces; the piece
        // holding the value's tail is checked like any line.
        {"a line longer than the read buffer", head + "b = " + line(9000, 'v') + "\n", 8},
        {"a refused character past the read buffer", head + line(5000, 'x') + "<\n", 8},
        // A NUL byte would end the line as the reader sees it: the rest of
        // the line would be lost at the next rewrite.
        {"a NUL byte in a value", head + std::string("b = visible\0hidden\n", 19), 8},
        {"a NUL byte at the end", head + std::string("b = v\0", 6), 8},
        {"only NUL bytes", std::string(64, '\0'), 8},
    };
}

struct HostileFilesTest : testing::Test {
    TestContext ctx{PROFILE_IO_STREAM};
    ScratchDir dir;
    static inline int tried = 0; // files and paths, printed at the end

    static void TearDownTestSuite() { std::printf("hostile files and paths tried: %d\n", tried); }

    // Opens path in both modes; each must fail with `status`, record its
    // text and leave the path exactly as it was (content, or absence).
    void expectRefused(const std::string &label, const std::string &path, uint32_t status) {
        SCOPED_TRACE(label);
        const bool existed = fileExists(path);
        const std::string before = existed ? readFile(path) : "";
        for (uint32_t mode : {PROFILE_OPEN_READ, PROFILE_OPEN_UPDATE}) {
            SCOPED_TRACE(mode == PROFILE_OPEN_READ ? "read-only" : "for update");
            TestContext fresh{PROFILE_IO_STREAM}; // its collector holds this open's texts only
            ProfileFile *file = reinterpret_cast<ProfileFile *>(8);
            EXPECT_EQ(profileOpenFile(fresh.index, path.c_str(), mode, &file, 0, 0), status);
            EXPECT_EQ(file, nullptr);
            EXPECT_TRUE(fresh.recorded(statusText(status))) << fresh.texts();
            EXPECT_EQ(fileExists(path), existed);
            if (existed && fs::is_regular_file(fs::u8path(path))) {
                EXPECT_EQ(readFile(path), before);
            }
        }
        ++tried;
    }
};

TEST_F(HostileFilesTest, RefusedContentsStayAsTheyWere) {
    for (const Hostile &h : hostileContents()) {
        std::string path = dir.file("p.ini");
        ASSERT_TRUE(writeFile(path, h.content));
        expectRefused(h.name, path, h.status);
    }
}

TEST_F(HostileFilesTest, PathsThatCannotBeOpened) {
    // A folder where the file should be.
    std::string folder = dir.file("folder.ini");
    fs::create_directory(fs::u8path(folder));
    ProfileFile *file = nullptr;
    for (uint32_t mode : {PROFILE_OPEN_READ, PROFILE_OPEN_UPDATE}) {
        uint32_t status = profileOpenFile(ctx.index, folder.c_str(), mode, &file, 0, 0);
        EXPECT_NE(status, 0u);
        EXPECT_EQ(file, nullptr);
    }
    EXPECT_TRUE(fs::is_directory(fs::u8path(folder)));
    EXPECT_TRUE(fs::is_empty(fs::u8path(folder)));
    ++tried;
    expectRefused("an empty path", "", 2);
    expectRefused("a missing folder", dir.file("missing/p.ini"), 2);
    expectRefused("a missing file", dir.file("missing.ini"), 2);
}

KV_CHILD_ROLE(open_unreadable) {
    // argv[0]: a file without read permission; argv[1]: a readable one
    // beside it.  Opens the first in both modes as an unprivileged user; the
    // exit code is the first open's status, or 100 when the two opens
    // disagree, leave a file, record no text or no reason, or when the
    // readable file beside it does not open (the refusal must be the file's
    // own).
    if (argc < 2 || platDropPrivileges() != 0) return 101;
    {
        TestContext ctx{PROFILE_IO_STREAM};
        ProfileFile *file = nullptr;
        if (profileOpenFile(ctx.index, argv[1], PROFILE_OPEN_READ, &file, 0, 0) != 0) return 100;
        profileCloseFile(&file, 0, 0);
    }
    uint32_t first = 0;
    for (uint32_t mode : {PROFILE_OPEN_READ, PROFILE_OPEN_UPDATE}) {
        TestContext ctx{PROFILE_IO_STREAM};
        ProfileFile *file = nullptr;
        uint32_t status = profileOpenFile(ctx.index, argv[0], mode, &file, 0, 0);
        // The system's reason comes with the status.
        if (file != nullptr || !ctx.recorded(statusText(status)) ||
            std::string(profileContextDetail(ctx.index)) != std::strerror(EACCES))
            return 100;
        if (mode == PROFILE_OPEN_READ) first = status;
        if (status != first) return 100;
    }
    return static_cast<int>(first);
}

TEST_F(HostileFilesTest, FileWithoutReadPermission) {
    std::string path = dir.file("locked.ini");
    ASSERT_TRUE(writeFile(path, GOOD));
    fs::permissions(fs::u8path(path), fs::perms::none);
    if (!readFile(path).empty()) {
        // This user reads it anyway (the superuser does): the opens run in a
        // child process that gives its privileges up first.
        std::string readable = dir.file("readable.ini");
        ASSERT_TRUE(writeFile(readable, GOOD));
        PlatProcess child = startChild("open_unreadable", {path, readable});
        ASSERT_NE(child, nullptr);
        int code = platWaitProcess(child);
        if (code == 101) GTEST_SKIP() << "no unprivileged user to open the file as";
        EXPECT_EQ(code, 2);
        ++tried;
    } else {
        expectRefused("no read permission", path, 2);
    }
    fs::permissions(fs::u8path(path), fs::perms::owner_all);
    EXPECT_EQ(readFile(path), GOOD);
}

// Carriage returns alone as line ends make the whole file one line to the
// parser: its first header, with the rest as ignored text after "]".  A
// rewrite would keep only that header, so an update open refuses the file;
// a read-only open reads it as it always did.
TEST_F(HostileFilesTest, CarriageReturnLineEndsAreRefusedForUpdate) {
    struct Case {
        const char *name;
        std::string content;
    } cases[] = {
        {"CR-only line ends",
         "[S-y-S-t-E-m 1]\rFILENAME = p.ini\r[Main 1]\ra = x\r[Later 2]\rb = y\r"},
        {"a stray CR in a key line", GOOD + "c = one\rtwo\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("p.ini");
        ASSERT_TRUE(writeFile(path, c.content));
        TestContext fresh{PROFILE_IO_STREAM};
        ProfileFile *file = nullptr;
        EXPECT_EQ(profileOpenFile(fresh.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 8u);
        EXPECT_TRUE(fresh.recorded(statusText(8))) << fresh.texts();
        EXPECT_EQ(readFile(path), c.content);
        ASSERT_EQ(profileOpenFile(fresh.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0), 0u);
        EXPECT_EQ(profileCloseFile(&file, 0, 0), 0u);
        ++tried;
    }
    // A CR that only ends a line (CR LF, or blanks after it) is no such loss.
    std::string path = dir.file("p.ini");
    ASSERT_TRUE(writeFile(path, "[S-y-S-t-E-m 1]\r\n[Main 1] \r \t\na = x\r\n"));
    ProfileFile *file = nullptr;
    ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 0u);
    EXPECT_EQ(describe(file, false), "Main/1{a=x}");
    EXPECT_EQ(profileCloseFile(&file, 0, 0), 0u);
}

// Contents the component accepts: a rewrite keeps everything it loaded.
TEST_F(HostileFilesTest, AcceptedOddContentsLoseNothingWhenRewritten) {
    const std::string head = "[S-y-S-t-E-m 1]\nFILENAME = p.ini\n";
    struct Case {
        const char *name;
        std::string content;
        std::string loaded;
    } cases[] = {
        {"bytes that are not UTF-8", head + "[Main 1]\nk = \xff\xfe\xc3\x28 \x80\n",
         "Main/1{k=\xff\xfe\xc3\x28 \x80}"},
        {"control characters", head + "[Main 1]\nk = a\x01\x02\x7f\n", "Main/1{k=a\x01\x02\x7f}"},
        // 0x1A ends a file read in text mode on Windows.
        {"a 0x1A byte", head + "[Main 1]\nk = a\x1a z\n[Later 2]\nm = n\n",
         "Main/1{k=a\x1a z} Later/2{m=n}"},
        {"carriage returns", head + "[Main 1]\r\nk = v\r\n", "Main/1{k=v}"},
        {"a long free-text line", head + "[Main 1]\n" + line(9000, 'x') + "\nk = v\n",
         "Main/1{k=v}"},
        {"no line feed at the end", head + "[Main 1]\nk = v", "Main/1{k=v}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("p.ini");
        ASSERT_TRUE(writeFile(path, c.content));
        ProfileFile *file = nullptr;
        ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0), 0u);
        EXPECT_EQ(describe(file, false), c.loaded);
        ASSERT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0), 0u);
        EXPECT_EQ(readFile(path), c.content);

        ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 0u);
        ASSERT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0), 0u);
        ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0), 0u);
        EXPECT_EQ(describe(file, false), c.loaded);
        ASSERT_EQ(profileCloseFile(&file, 0, 0), 0u);
        ++tried;
    }
}

} // namespace
