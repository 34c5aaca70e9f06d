// Choosing the error destination with QDKsetUserErrorFile, and the helpers
// it rests on: the UTF-8 open and the bounded copy.
#include "diag/fopen_utf8.h"
#include "diag/safecopy.h"
#include "diag/sink.h"
#include "frame/alloc.h"
#include "kvinit64.h"
#include "platform/fault.h"
#include "support/child.h"
#include "support/dynlib.h"
#include "support/fixtures.h"
#include "support/report.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A path of exactly `length` bytes that names a file in dir: "./" steps
// between the folder and the file name make up the length.
std::string pathOfLength(const std::string &dir, size_t length) {
    std::string path = dir + "/";
    while (path.size() + 24 < length) path += "./";
    return path + std::string(length - path.size() - 4, 'e') + ".log";
}

struct SinkTest : SinkFixture {
    // A file sink and standard error both set.
    void setBothSinks(const std::string &path) {
        ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, path.c_str()), QDK_STATUS_OK);
        ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_STDERR, nullptr), QDK_STATUS_OK);
        ASSERT_EQ(QDMgetErrorStream(), stderr);
    }
    static std::string filePath() {
        char copy[QDM_ERROR_PATH_SIZE];
        const char *p = QDMgetErrorFilePath(copy);
        return p != nullptr ? p : "(none)";
    }
};

TEST_F(SinkTest, ModeZeroTriesTheFileAndClearsTheStream) {
    std::string former = dir.file("former.log");
    setBothSinks(former);
    EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    EXPECT_EQ(QDMgetErrorStream(), nullptr);
    EXPECT_EQ(filePath(), errorFile);
    EXPECT_TRUE(fileExists(errorFile)); // opened for appending: created, empty
    EXPECT_EQ(readText(errorFile), "");
}

TEST_F(SinkTest, ModeZeroWithoutAPathClearsBothSinks) {
    for (const char *path : {static_cast<const char *>(nullptr), ""}) {
        setBothSinks(errorFile);
        EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, path), QDK_STATUS_OK);
        EXPECT_EQ(QDMgetErrorStream(), nullptr);
        EXPECT_EQ(filePath(), "(none)");
    }
}

TEST_F(SinkTest, PathOf1023BytesIsAcceptedAnd1024KeepsTheFormerFile) {
    std::string longest = pathOfLength(dir.path(), QDM_ERROR_PATH_MAX);
    ASSERT_EQ(longest.size(), 1023u);
    EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, longest.c_str()), QDK_STATUS_OK);
    EXPECT_EQ(filePath(), longest);
    EXPECT_EQ(REPORT(nullptr, "%s", "long"), QDM_REPORT_DONE);
    EXPECT_EQ(readText(longest), "long");

    setBothSinks(errorFile);
    std::string tooLong = pathOfLength(dir.path(), QDM_ERROR_PATH_MAX + 1);
    ASSERT_EQ(tooLong.size(), 1024u);
    EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, tooLong.c_str()), QDK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(filePath(), errorFile);
    EXPECT_EQ(QDMgetErrorStream(), nullptr); // cleared before the path was looked at
    EXPECT_FALSE(fileExists(tooLong));
}

TEST_F(SinkTest, PathThatCannotBeOpenedClearsTheFileSink) {
    for (const std::string &path : {dir.path(), dir.file("missing/errors.log")}) {
        SCOPED_TRACE(path);
        setBothSinks(errorFile);
        EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, path.c_str()), QDK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(filePath(), "(none)");
        EXPECT_EQ(QDMgetErrorStream(), nullptr);
    }
}

TEST_F(SinkTest, OtherModesChangeNothing) {
    setBothSinks(errorFile);
    for (int32_t mode : {3, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(QDKsetUserErrorFile(mode, dir.file("other.log").c_str()), QDK_STATUS_BAD_ARGUMENT)
            << mode;
        EXPECT_EQ(QDMgetErrorStream(), stderr);
        EXPECT_EQ(filePath(), errorFile);
    }
    EXPECT_FALSE(fileExists(dir.file("other.log")));
}

TEST_F(SinkTest, StreamModesKeepTheFileSink) {
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_STDOUT, "ignored"), QDK_STATUS_OK);
    EXPECT_EQ(QDMgetErrorStream(), stdout);
    EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_STDERR, nullptr), QDK_STATUS_OK);
    EXPECT_EQ(QDMgetErrorStream(), stderr);
    EXPECT_EQ(filePath(), errorFile);
}

TEST_F(SinkTest, AllocationFailureKeepsTheFormerFile) {
    setBothSinks(errorFile);
    std::string other = dir.file("other.log");
    qdmAllocFailAt(1);
    EXPECT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, other.c_str()), QDK_STATUS_NO_MEMORY);
    EXPECT_TRUE(qdmAllocFailFired());
    EXPECT_EQ(QDMgetErrorStream(), nullptr);
    EXPECT_EQ(filePath(), errorFile);
    EXPECT_FALSE(fileExists(other));
}

KV_CHILD_ROLE(report_to_std_stream) {
    // argv[0]: the mode, 1 or 2; argv[1]: the file that stream is sent to;
    // argv[2]: the error file, set first.
    if (argc < 3) return 1;
    int32_t mode = std::atoi(argv[0]);
    FILE *stream = mode == QDK_ERROR_TO_STDOUT ? stdout : stderr;
    if (std::freopen(argv[1], "w", stream) == nullptr) return 2;
    if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, argv[2]) != QDK_STATUS_OK) return 3;
    std::remove(argv[2]);
    if (QDKsetUserErrorFile(mode, nullptr) != QDK_STATUS_OK) return 4;
    if (REPORT(nullptr, "to stream %d", mode) != QDM_REPORT_DONE) return 5;
    if (takeBoxes().count != 0) return 6;
    // Standard output was made unbuffered: the text is out already, so an
    // exit that flushes nothing loses nothing.
    if (mode == QDK_ERROR_TO_STDOUT) std::_Exit(0);
    return 0;
}

TEST_F(SinkTest, StreamModesSendReportsToTheirStream) {
    for (int mode : {QDK_ERROR_TO_STDOUT, QDK_ERROR_TO_STDERR}) {
        SCOPED_TRACE(mode);
        std::string captured = dir.file("captured.txt");
        PlatProcess child =
            startChild("report_to_std_stream", {std::to_string(mode), captured, errorFile});
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(platWaitProcess(child), 0);
        EXPECT_EQ(readText(captured), "to stream " + std::to_string(mode));
        EXPECT_TRUE(fileExists(errorFile)); // created again by the report
        EXPECT_EQ(readText(errorFile), "");
        std::remove(errorFile.c_str());
    }
}

// "fé-日本.log" as UTF-8.
constexpr char NON_ASCII_NAME[] = "f\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.log";

TEST_F(SinkTest, NonAsciiPathNamesThatFile) {
    std::string path = dir.file(NON_ASCII_NAME);
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, path.c_str()), QDK_STATUS_OK);
    EXPECT_EQ(REPORT(nullptr, "%s", "non-ASCII"), QDM_REPORT_DONE);
    EXPECT_EQ(readText(path), "non-ASCII"); // read back by its UTF-8 name

    std::string other = dir.file(std::string("w-") + NON_ASCII_NAME);
    FILE *file = QDMfopenUtf8(other.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("direct", file);
    std::fclose(file);
    EXPECT_EQ(readText(other), "direct");
}

TEST_F(SinkTest, ExportedFromTheSharedLibrary) {
    PlatLibrary library = platLoadLibrary(sharedLibraryPath().c_str());
    ASSERT_NE(library, nullptr);
    using SetUserErrorFileFn = uint32_t (*)(int32_t, const char *);
    auto fn = reinterpret_cast<SetUserErrorFileFn>(platFindSymbol(library, "QDKsetUserErrorFile"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(3, nullptr), QDK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(fn(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    EXPECT_TRUE(fileExists(errorFile));
    EXPECT_EQ(fn(QDK_ERROR_TO_FILE, nullptr), QDK_STATUS_OK);
    platUnloadLibrary(library);
}

KV_CHILD_ROLE(fifo_as_error_file) {
    // argv[0]: a FIFO nobody reads; argv[1]: a file.  Opening a FIFO for
    // writing waits for a reader: the path is refused at once instead, and
    // a report whose error file became one passes the text on.
    if (argc < 2) return 1;
    if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, argv[0]) != QDK_STATUS_BAD_ARGUMENT) return 2;
    char copy[QDM_ERROR_PATH_SIZE];
    if (QDMgetErrorFilePath(copy) != nullptr) return 3;
    if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, argv[1]) != QDK_STATUS_OK) return 4;
    std::remove(argv[1]);
    if (platMakeFifo(argv[1]) != 0) return 5;
    if (REPORT(nullptr, "%s", "not into the FIFO") != QDM_REPORT_DONE) return 6;
    if (takeBoxes().text != "not into the FIFO") return 7;
    return 0;
}

TEST_F(SinkTest, FifoAsErrorFileIsRefusedAtOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "no FIFOs in the file system";
#endif
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(platMakeFifo(fifo.c_str()), 0);
    PlatProcess child = startChild("fifo_as_error_file", {fifo, errorFile});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(platWaitProcessFor(child, 10000), 0);
}

TEST(FopenUtf8Test, ModeOfMoreThanFourCharactersOpensNothing) {
    ScratchDir dir;
    std::string path = dir.file("mode.txt");
    EXPECT_EQ(QDMfopenUtf8(path.c_str(), "a+bcc"), nullptr);
    EXPECT_FALSE(fileExists(path));
    FILE *file = QDMfopenUtf8(path.c_str(), "a+bc");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(fileExists(path));

    EXPECT_EQ(QDMfopenUtf8(nullptr, "a"), nullptr);
    EXPECT_EQ(QDMfopenUtf8(path.c_str(), nullptr), nullptr);
    platFaultArm(PLAT_FAULT_FILE_OPEN, 0, 1);
    EXPECT_EQ(QDMfopenUtf8(path.c_str(), "a"), nullptr);
    platFaultReset();
    EXPECT_EQ(qdmMemFailure.load(), 0);
}

TEST(FopenUtf8Test, OtherOpenersMayReadAndWriteMeanwhile) {
    ScratchDir dir;
    std::string path = dir.file("shared.txt");
    FILE *first = QDMfopenUtf8(path.c_str(), "a");
    ASSERT_NE(first, nullptr);
    std::fputs("one,", first);
    std::fflush(first);
    FILE *second = QDMfopenUtf8(path.c_str(), "a");
    EXPECT_NE(second, nullptr);
    if (second != nullptr) {
        std::fputs("two", second);
        std::fclose(second);
    }
    EXPECT_EQ(readText(path), "one,two");
    std::fclose(first);
}

TEST(SafeCopyTest, CopiesWholeOrCutsAndZeroFills) {
    struct Case {
        const char *source;
        size_t size;
        int32_t result;
        const char *kept; // the characters left in the destination
    };
    const Case cases[] = {
        {"abc", 4, QDM_COPY_WHOLE, "abc"}, {"abcd", 4, QDM_COPY_CUT, "abc"},
        {"a", 4, QDM_COPY_WHOLE, "a"},     {"", 4, QDM_COPY_WHOLE, ""},
        {"abcdef", 1, QDM_COPY_CUT, ""},
    };
    constexpr size_t CAPACITY = 8;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " into " + std::to_string(c.size));
        char buffer[CAPACITY];
        std::memset(buffer, '#', CAPACITY);
        EXPECT_EQ(QDMsafeCopy(buffer, c.source, c.size), c.result);
        size_t kept = std::strlen(c.kept);
        EXPECT_EQ(std::string(buffer, kept), c.kept);
        for (size_t i = kept; i < c.size; ++i) EXPECT_EQ(buffer[i], '\0') << i;
        for (size_t i = c.size; i < CAPACITY; ++i) EXPECT_EQ(buffer[i], '#') << i;
    }
}

TEST(SafeCopyTest, SizeZeroAndNullsTouchNothing) {
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(QDMsafeCopy(buffer, "abc", 0), QDM_COPY_WHOLE);
    EXPECT_EQ(QDMsafeCopy(buffer, nullptr, 4), QDM_COPY_BAD_ARGUMENT);
    EXPECT_EQ(QDMsafeCopy(nullptr, "abc", 4), QDM_COPY_BAD_ARGUMENT);
    EXPECT_EQ(std::string(buffer, 4), "####");
}

// The bounded length reads no byte at or past the limit: each text is a heap
// block of exactly its characters, without a terminating zero where the
// limit stops the reading first (AddressSanitizer sees one byte too many).
TEST(BoundedLengthTest, CountsUpToTheFirstZeroOrTheLimit) {
    struct Case {
        std::string bytes; // the whole block
        size_t limit;
        size_t length;
    } cases[] = {{std::string("abc\0", 4), 10, 3},
                 {std::string("abc\0", 4), 4, 3},
                 {"abcd", 4, 4},
                 {"abcd", 2, 2},
                 {std::string("\0", 1), 5, 0},
                 {"x", 0, 0}};
    for (const Case &c : cases) {
        std::vector<char> block(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(QDMboundedLength(block.data(), c.limit), c.length) << c.bytes << " " << c.limit;
    }
    EXPECT_EQ(QDMboundedLength(nullptr, 5), 0u);
}

} // namespace
