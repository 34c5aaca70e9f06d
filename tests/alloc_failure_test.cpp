// Every allocation failure, one at a time: each operation runs with its 1st,
// 2nd, 3rd ... allocation failing until a run completes without reaching the
// armed failure.  A run that met the failure must give the failure status
// (0xC8001007 at the exported boundary; 14 or 11 inside the profile
// component), leave the state as it was and leak nothing (AddressSanitizer
// checks the leaks of the linux-asan build at exit).
#include "diag/sink.h"
#include "frame/alloc.h"
#include "kvinit64.h"
#include "profile/context.h"
#include "profile/loadsave.h"
#include "profile/operations.h"
#include "support/fixtures.h"
#include "support/profile_io.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

// Failure points exercised by the whole program, printed at its end.
int failurePoints = 0;

struct AllocFailureTest : testing::Test {
    void TearDown() override {
        qdmAllocFailReset();
        qdmMemFailure = 0;
    }
    static void TearDownTestSuite() {
        std::printf("allocation-failure points exercised: %d\n", failurePoints);
    }
};

// Runs `run` with the n-th allocation failing for n = 1, 2, ... until a run
// does not reach the failure; `run` gets n, asks qdmAllocFailFired() whether
// its failure came, and checks its own outcome.  `before` restores the
// starting state first.  Returns the number of failure points met.
int everyAllocationFailure(
    const std::function<void(int n)> &run, const std::function<void()> &before = [] {}) {
    constexpr int LIMIT = 10000; // far beyond any operation's allocation count
    for (int n = 1; n < LIMIT; ++n) {
        before();
        qdmAllocFailAt(n);
        run(n);
        bool fired = qdmAllocFailFired();
        qdmAllocFailReset();
        if (!fired) {
            failurePoints += n - 1;
            return n - 1;
        }
        if (testing::Test::HasFailure()) return n;
    }
    ADD_FAILURE() << "an operation never completed";
    return LIMIT;
}

TEST_F(AllocFailureTest, LibraryInformationAllocatesNothing) {
    QDKlibInfoRec info;
    int points = everyAllocationFailure([&](int) {
        EXPECT_EQ(QDKgetLibInfo(&info), QDK_STATUS_OK);
        EXPECT_EQ(QDKgetLibInfo(nullptr), QDK_STATUS_BAD_ARGUMENT);
    });
    EXPECT_EQ(points, 0);
}

// Every mode of QDKsetUserErrorFile.  A call that met the failure returns
// 0xC8001007, has cleared the stream sink (mode 0 does that first), keeps
// the former file sink and creates no file.
TEST_F(AllocFailureTest, EveryModeOfSetUserErrorFile) {
    ScratchDir dir;
    const std::string former = dir.file("former.log");
    const std::string tooLong = dir.path() + "/" + std::string(1100, 'x');
    struct Case {
        const char *name;
        int32_t mode;
        std::string path;
        bool nullPath;
        uint32_t status; // when no allocation fails
        bool fileSinkAfter;
    } cases[] = {
        {"a new file", QDK_ERROR_TO_FILE, dir.file("new.log"), false, QDK_STATUS_OK, true},
        {"no path", QDK_ERROR_TO_FILE, "", true, QDK_STATUS_OK, false},
        {"empty path", QDK_ERROR_TO_FILE, "", false, QDK_STATUS_OK, false},
        {"too long", QDK_ERROR_TO_FILE, tooLong, false, QDK_STATUS_BAD_ARGUMENT, true},
        {"cannot be opened", QDK_ERROR_TO_FILE, dir.file("missing/x.log"), false,
         QDK_STATUS_BAD_ARGUMENT, false},
        {"standard output", QDK_ERROR_TO_STDOUT, "", true, QDK_STATUS_OK, true},
        {"standard error", QDK_ERROR_TO_STDERR, "", true, QDK_STATUS_OK, true},
        {"unknown mode", 3, "", true, QDK_STATUS_BAD_ARGUMENT, true},
    };
    int total = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *path = c.nullPath ? nullptr : c.path.c_str();
        int points = everyAllocationFailure(
            [&](int) {
                uint32_t status = QDKsetUserErrorFile(c.mode, path);
                bool fired = qdmAllocFailFired();
                char copy[QDM_ERROR_PATH_SIZE];
                const char *sink = QDMgetErrorFilePath(copy);
                if (fired) {
                    EXPECT_EQ(status, QDK_STATUS_NO_MEMORY);
                    EXPECT_EQ(QDMgetErrorStream(), nullptr);
                    ASSERT_NE(sink, nullptr);
                    EXPECT_EQ(std::string(sink), former);
                    if (path != nullptr && !c.path.empty() && c.path != tooLong) {
                        EXPECT_FALSE(fileExists(c.path));
                    }
                } else {
                    EXPECT_EQ(status, c.status);
                    EXPECT_EQ(sink != nullptr, c.fileSinkAfter);
                }
            },
            [&] {
                ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, former.c_str()), QDK_STATUS_OK);
                ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_STDERR, nullptr), QDK_STATUS_OK);
            });
        // Only mode 0 with a path allocates (its work buffer).
        EXPECT_EQ(points, c.mode == QDK_ERROR_TO_FILE && path != nullptr ? 1 : 0);
        total += points;
    }
    EXPECT_GT(total, 0);
    QDKsetUserErrorFile(QDK_ERROR_TO_FILE, nullptr);
}

TEST_F(AllocFailureTest, OpenLibrary) {
    int points = everyAllocationFailure([&](int) {
        int32_t index = 77;
        uint32_t status =
            profileOpenLib(&index, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr);
        if (qdmAllocFailFired()) {
            EXPECT_EQ(status, PROFILE_STATUS_NO_RESOURCES);
            EXPECT_EQ(index, -1);
            EXPECT_EQ(profileFindFreeContext(), 0); // no slot taken
        } else {
            ASSERT_EQ(status, 0u);
            EXPECT_EQ(index, 0);
            uint32_t closing = static_cast<uint32_t>(index);
            EXPECT_EQ(profileCloseLib(&closing), 0u);
        }
    });
    EXPECT_EQ(points, 1);
}

// A stored file with the reserved section, several sections and keys, a
// damaged section and a "KTRDIST" section, written once by the component
// itself so that a rewrite without changes gives the same bytes.
std::string storedFile(const std::string &path, bool encoded) {
    const std::string plain = "[S-y-S-t-E-m 1]\nFILENAME = x\nNUMSECTION = 4\n\n"
                              "[Main 1.0]\na = x\nb = y z\nCSUM = 1\n\n"
                              "[Other 2]\nc = 3\nd = 4\ne = 5\n\n"
                              "[KTRDIST ]\nL1 = 0\n\n[Empty 1]\n";
    EXPECT_TRUE(writeFile(path, plain));
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    EXPECT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 0u);
    uint32_t flags = PROFILE_SAVE_CHECKSUMS | (encoded ? PROFILE_SAVE_ENCODE : 0);
    EXPECT_EQ(profileCloseFile(&file, flags, 0), 0u);
    return readFile(path);
}

// What the library's components do with a profile file, start to end: open
// a context, open the file for update, look a section up, add one, close
// (rewrite) the file, close the context.  A step that fails ends the
// session as a component would: the file, when open, is still closed.
struct Session {
    uint32_t openLib = 0, openFile = 0, create = 0, closeFile = 0;
};

Session runSession(const std::string &path, bool encoded) {
    Session s;
    int32_t index = -1;
    s.openLib = profileOpenLib(&index, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr);
    if (s.openLib != 0) return s;
    ProfileFile *file = nullptr;
    uint32_t openFlags = encoded ? PROFILE_OPEN_FLAG_DECODE : 0;
    s.openFile = profileOpenFile(index, path.c_str(), PROFILE_OPEN_UPDATE, &file, openFlags, 0);
    if (s.openFile == 0) {
        ProfileSectionInfo info;
        profileFindSection(file, "Other", "2", &info);
        s.create = profileCreateSection(file, "Added", "7", &info);
        uint32_t saveFlags = PROFILE_SAVE_CHECKSUMS | (encoded ? PROFILE_SAVE_ENCODE : 0);
        s.closeFile = profileCloseFile(&file, saveFlags, 0);
        if (s.closeFile != 0) {
            // Still the caller's: closed once more, as a component would.
            qdmAllocFailReset();
            EXPECT_EQ(profileCloseFile(&file, saveFlags, 0), 0u);
        }
    }
    auto closing = static_cast<uint32_t>(index);
    profileCloseLib(&closing);
    return s;
}

// Every allocation of the session fails in turn.  A failed step gives 14 or
// 11; a creation whose only failed allocation was the text of the lookup's
// 6 goes on and succeeds (the text is lost, not the section); and the stored
// file is always either exactly as it was or completely rewritten.
TEST_F(AllocFailureTest, ProfileSessionOpenLoadCreateClose) {
    for (bool encoded : {false, true}) {
        SCOPED_TRACE(encoded ? "encoded lines" : "plain lines");
        ScratchDir dir;
        const std::string path = dir.file("p.ini");
        const std::string before = storedFile(path, encoded);
        ASSERT_FALSE(before.empty());
        Session clean = runSession(path, encoded);
        ASSERT_EQ(clean.openFile + clean.create + clean.closeFile, 0u);
        const std::string after = readFile(path);
        ASSERT_NE(after, before);

        int unchanged = 0, rewritten = 0;
        auto failed = [](uint32_t status) {
            return status == PROFILE_STATUS_NO_RESOURCES || status == PROFILE_STATUS_BAD_PARAMS;
        };
        int points = everyAllocationFailure(
            [&](int n) {
                SCOPED_TRACE("allocation " + std::to_string(n));
                Session s = runSession(path, encoded);
                if (!qdmAllocFailFired()) {
                    EXPECT_EQ(s.openLib + s.openFile + s.create + s.closeFile, 0u);
                    return;
                }
                if (s.openLib != 0) {
                    EXPECT_EQ(s.openLib, PROFILE_STATUS_NO_RESOURCES);
                } else if (s.openFile != 0) {
                    EXPECT_TRUE(failed(s.openFile)) << s.openFile;
                } else {
                    EXPECT_TRUE(s.create == 0 || failed(s.create)) << s.create;
                    EXPECT_EQ(s.closeFile, 0u);
                }
                const std::string now = readFile(path);
                EXPECT_TRUE(now == before || now == after) << "a file neither old nor new";
                unchanged += now == before;
                rewritten += now == after;
            },
            [&] { ASSERT_TRUE(writeFile(path, before)); });
        // The sections and keys of the file come from its arena, whose first
        // block holds all of this small file's (and the added section): a
        // session now allocates only a handful of times, the context's
        // collector, the file record, its section list, that block and what
        // the rewrite needs, where each section, key and node was a point.
        EXPECT_GE(points, 5);
        EXPECT_GT(unchanged, 0);
        EXPECT_GT(rewritten, 0);
        std::printf("%s: %d failure points, file unchanged %d times, rewritten %d times\n",
                    encoded ? "encoded" : "plain", points, unchanged, rewritten);
    }
}

// Loads the file (read-only) with each of its allocations failing in turn:
// a failed load gives 14 or 11 and no file, the completed one has `sections`
// ordinary sections.  *badParams (when given) counts the failures that gave
// 11.  Returns the number of failure points.
int everyLoadFailure(int32_t context, const std::string &path, int32_t sections,
                     int *badParams = nullptr) {
    if (badParams != nullptr) *badParams = 0;
    return everyAllocationFailure([&](int n) {
        SCOPED_TRACE(path + ", allocation " + std::to_string(n));
        ProfileFile *file = nullptr;
        uint32_t status = profileOpenFile(context, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0);
        if (qdmAllocFailFired()) {
            EXPECT_TRUE(status == PROFILE_STATUS_NO_RESOURCES ||
                        status == PROFILE_STATUS_BAD_PARAMS)
                << status;
            EXPECT_EQ(file, nullptr);
            if (badParams != nullptr) *badParams += status == PROFILE_STATUS_BAD_PARAMS;
            return;
        }
        ASSERT_EQ(status, 0u);
        EXPECT_EQ(file->sectionCount, sections);
        EXPECT_EQ(profileCloseFile(&file, 0, 0), 0u);
    });
}

// A file large enough that its records go into whole pages: the first
// block sized from the file and the further ones as the headers outgrow it
// are allocation points like any other.  Each failed load gives 14 (11 for
// the section list, as the file record's other parts) and leaves nothing
// behind; the completed one has every section.
TEST_F(AllocFailureTest, LargeFileLoadIntoPageBlocks) {
    ScratchDir dir;
    const std::string path = dir.file("large.ini");
    std::string text = "[Keys 1]\na = 1\nb = 2\n";
    constexpr int HEADERS = 300000; // 1.2 MB, about ten times that in records
    text.reserve(text.size() + 4 * HEADERS);
    for (int i = 0; i < HEADERS; ++i) text += "[a]\n";
    ASSERT_TRUE(writeFile(path, text));
    TestContext ctx{PROFILE_IO_STREAM};
    int points = everyLoadFailure(ctx.index, path, HEADERS + 1);
    // The record, its section list, the first page block, more page blocks.
    EXPECT_GE(points, 4);
    std::printf("large file: %d failure points\n", points);
}

// A section gets its own detail record (its key list, stored checksum and
// flags) from the file's arena at its first key or "CSUM" line; the others
// share one.  Where a detail needs a new block, that block's failure ends
// the load with 11 (a section's or key's gives 14) and leaves nothing
// behind.  A file of sections with "CSUM" lines fails with 11 at more
// points than one of bare headers (whose 11s are the file record's own):
// those are its details' blocks.
TEST_F(AllocFailureTest, SectionDetailsOfALoad) {
    ScratchDir dir;
    TestContext ctx{PROFILE_IO_STREAM};
    auto sweep = [&](const std::string &name, const std::string &section, int *badParams) {
        const std::string path = dir.file(name);
        std::string text;
        constexpr int SECTIONS = 20000; // heap blocks: 16 KiB doubling up to 1 MiB
        for (int i = 0; i < SECTIONS; ++i) text += section;
        ASSERT_TRUE(writeFile(path, text));
        everyLoadFailure(ctx.index, path, SECTIONS, badParams);
    };
    int headers = 0, checked = 0;
    sweep("headers.ini", "[a]\n", &headers);
    sweep("checked.ini", "[a]\nCSUM = 1\n", &checked);
    EXPECT_GT(checked, headers);
}

} // namespace
