// Paths that other local users can shape: links anywhere in the path (and
// swapped while an update opens), FIFOs, devices and folders given to
// read-only opens, and names planted beside the file.  Each open that is
// refused says why in the context's detail.
#include "platform/update_file.h"
#include "profile/loadsave.h"
#include "profile/operations.h"
#include "support/child.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/profile_io.h"

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

const std::string STORED = "[S-y-S-t-E-m 1]\nFILENAME = p\nNUMSECTION = 1\n\n[Main 1]\na = x\n";

struct Outcome {
    uint32_t status;
    std::string detail; // the context's detail afterwards
    std::string sections;
};

// Opens path in the mode (adding a section "New" when it is an update, and
// closing); the first failing status and the detail.
Outcome openAndClose(const std::string &path, uint32_t openMode) {
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    Outcome o{profileOpenFile(ctx.index, path.c_str(), openMode, &file, 0, 0), "", ""};
    ProfileSectionInfo info;
    if (o.status == 0) o.sections = describe(file, false);
    if (o.status == 0 && openMode != PROFILE_OPEN_READ)
        o.status = profileCreateSection(file, "New", "1", &info);
    if (o.status == 0) o.status = profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0);
    if (file != nullptr) profileDiscardFile(&file);
    o.detail = profileContextDetail(ctx.index);
    return o;
}

KV_CHILD_ROLE(open_read_only) {
    // argv[0]: a path.  Opens it read-only; the exit code is the status,
    // or 100 when the detail does not start with argv[1].
    if (argc < 2) return 100;
    Outcome o = openAndClose(argv[0], PROFILE_OPEN_READ);
    return o.detail.rfind(argv[1], 0) == 0 ? static_cast<int>(o.status) : 100;
}

// A path that is not a regular file, given to a read-only open: refused at
// once with 12 and the kind in the detail, never waited on.  Each open runs
// in a child, so an open that waits fails the test instead of hanging it.
TEST(PathSafety, ReadOnlyOpensRefuseWhatIsNotARegularFileAtOnce) {
    ScratchDir dir;
    struct Case {
        const char *name;
        std::string path;
        const char *detail;
    };
    std::vector<Case> cases = {{"a folder", dir.path(), "not a regular file: folder"}};
#ifdef _WIN32
    cases.push_back({"a device", "NUL", "not a regular file: device"});
#else
    ASSERT_EQ(platMakeFifo(dir.file("fifo").c_str()), 0);
    cases.push_back({"a FIFO without a writer", dir.file("fifo"), "not a regular file: FIFO"});
    cases.push_back({"a device", "/dev/null", "not a regular file: device"});
    fs::create_symlink(dir.file("fifo"), dir.file("to-fifo"));
    cases.push_back({"a link to a FIFO", dir.file("to-fifo"), "not a regular file: FIFO"});
#endif
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PlatProcess child = startChild("open_read_only", {c.path, c.detail});
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(platWaitProcessFor(child, 20000), 12);
    }
}

#ifndef _WIN32

constexpr uid_t OTHER = 4321;   // another local user (no account needed)
constexpr uid_t NOBODY = 65534; // a second one

// Runs fn in a child process as the user, so the files fn makes are that
// user's.  True when fn returned true there.
bool asUser(uid_t user, const std::function<bool()> &fn) {
    struct Call {
        uid_t user;
        const std::function<bool()> *fn;
    } call{user, &fn};
    PlatProcess child = platFork(
        [](void *arg) {
            auto *c = static_cast<Call *>(arg);
            if (setgid(c->user) != 0 || setuid(c->user) != 0) return 101;
            return (*c->fn)() ? 0 : 1;
        },
        &call);
    return child != nullptr && platWaitProcess(child) == 0;
}

// Makes a folder with the mode (and owner).
std::string folder(const ScratchDir &d, const char *name, mode_t mode, uid_t owner = 0) {
    std::string f = d.file(name);
    fs::create_directory(f);
    chown(f.c_str(), owner, owner);
    chmod(f.c_str(), mode);
    return f;
}

std::string link(const std::string &target, const std::string &at, uid_t owner) {
    fs::create_symlink(target, at);
    lchown(at.c_str(), owner, owner);
    return at;
}

struct LinkCase {
    const char *name;
    // Makes the situation in d; returns the path that root updates.  The
    // file that must stay unchanged is d/victim/p.ini (STORED).
    std::function<std::string(const ScratchDir &d)> setUp;
    uint32_t status;
    const char *detail; // what the detail starts with, then the link's path end
    const char *linkEnd;
};

// Root updates a path through links; a link that another user owns is
// never followed for an update, wherever in the path it lies.
TEST(PathSafety, LinksMetAnywhereInThePathOnLinux) {
    if (geteuid() != 0) GTEST_SKIP() << "the situations need the superuser to set them up";
    const std::vector<LinkCase> cases = {
        {"a folder of a shared folder replaced by another user's link into a root-only folder",
         [](const ScratchDir &d) {
             std::string shared = folder(d, "shared", 01777);
             link(d.file("victim"), shared + "/sub", OTHER);
             return shared + "/sub/p.ini";
         },
         12, "untrusted link at ", "/shared/sub"},
        {"root's own link leading to another user's link",
         [](const ScratchDir &d) {
             std::string shared = folder(d, "shared", 01777);
             link(d.file("victim/p.ini"), shared + "/theirs.ini", OTHER);
             return link(shared + "/theirs.ini", d.file("mine.ini"), 0);
         },
         12, "untrusted link at ", "/shared/theirs.ini"},
        {"a user's own link in the user's own folder",
         [](const ScratchDir &d) {
             std::string home = folder(d, "home", 0755, OTHER);
             return link(d.file("victim/p.ini"), home + "/p.ini", OTHER);
         },
         12, "untrusted link at ", "/home/p.ini"},
        {"a loop of root's links",
         [](const ScratchDir &d) {
             link(d.file("b"), d.file("a"), 0);
             link(d.file("a"), d.file("b"), 0);
             return d.file("a");
         },
         12, "too many symbolic links at ", ""},
        {"root's own links before and at the last part are followed",
         [](const ScratchDir &d) {
             link(d.file("victim"), d.file("alias"), 0);
             link("p.ini", d.file("victim/q.ini"), 0);
             return d.file("alias/q.ini");
         },
         0, "", ""},
    };
    for (const LinkCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir d;
        folder(d, "victim", 0700);
        ASSERT_TRUE(writeFile(d.file("victim/p.ini"), STORED));
        const std::string path = c.setUp(d);
        Outcome o = openAndClose(path, PROFILE_OPEN_UPDATE);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.detail.rfind(c.detail, 0), 0u) << o.detail;
        if (c.status != 0) {
            EXPECT_EQ(readFile(d.file("victim/p.ini")), STORED);
            EXPECT_NE(o.detail.find(c.linkEnd), std::string::npos) << o.detail;
            // Reading follows links as any reader does (a loop excepted).
            Outcome read = openAndClose(path, PROFILE_OPEN_READ);
            if (std::string(c.detail).rfind("too many", 0) != 0) {
                EXPECT_EQ(read.sections, "Main/1{a=x}") << read.detail;
            }
        } else {
            EXPECT_NE(readFile(d.file("victim/p.ini")), STORED);
            EXPECT_TRUE(fs::is_symlink(d.file("victim/q.ini")));
        }
    }
}

// Another user swaps the name in a shared folder between a link to a file
// outside it, a link to a name that does not exist yet, a FIFO and
// nothing, while root creates and updates the file there round after
// round.  Nothing outside the folder is ever created or written, and no
// open waits on the FIFO.
TEST(PathSafety, NameSwappedInALoopAgainstCreatingUpdates) {
    if (geteuid() != 0) GTEST_SKIP() << "the race needs the superuser to set it up";
    ScratchDir d;
    std::string shared = folder(d, "shared", 01777);
    std::string outside = folder(d, "outside", 0755);
    ASSERT_TRUE(writeFile(outside + "/existing.ini", STORED));
    const std::string name = shared + "/p.ini";
    struct Swap {
        std::string shared, name, outside;
    } swap{shared, name, outside};
    PlatProcess swapper = platFork(
        [](void *arg) {
            auto *s = static_cast<Swap *>(arg);
            if (setgid(OTHER) != 0 || setuid(OTHER) != 0) return 101;
            std::string temp = s->shared + "/.swap";
            for (unsigned i = 0;; ++i) {
                unlink(temp.c_str());
                switch (i % 4) {
                case 0:
                    (void)symlink((s->outside + "/existing.ini").c_str(), temp.c_str());
                    break;
                case 1:
                    (void)symlink((s->outside + "/created.ini").c_str(), temp.c_str());
                    break;
                case 2:
                    (void)mkfifo(temp.c_str(), 0666);
                    break;
                default:
                    (void)unlink(s->name.c_str());
                    continue;
                }
                (void)rename(temp.c_str(), s->name.c_str());
            }
        },
        &swap);
    ASSERT_NE(swapper, nullptr);
    int done = 0;
    for (int round = 0; round < 200; ++round) {
        Outcome o = openAndClose(name, round % 2 == 0 ? PROFILE_OPEN_WRITE : PROFILE_OPEN_UPDATE);
        if (o.status == 0) ++done;
        // The sticky folder keeps root's file from the swapper: take it away.
        struct stat info {};
        if (lstat(name.c_str(), &info) == 0 && info.st_uid == 0) unlink(name.c_str());
    }
    platKillProcess(swapper);
    platWaitProcess(swapper);
    EXPECT_EQ(listFolder(outside), "existing.ini");
    EXPECT_EQ(readFile(outside + "/existing.ini"), STORED);
    std::printf("%d of 200 updates got the file to themselves\n", done);
}

// The header of a redo copy, as the library writes it.
std::string redoHeader(const struct stat &of, const std::string &content) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : content) hash = (hash ^ c) * 0x100000001b3ull;
    char header[128];
    std::snprintf(header, sizeof header,
                  "kvinit64-redo-1 %016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n",
                  static_cast<uint64_t>(of.st_dev), static_cast<uint64_t>(of.st_ino),
                  static_cast<uint64_t>(content.size()), hash);
    return header;
}

// In a sticky folder, another user plants names beside root's file that
// look like what an in-place write leaves: a kept copy and a well-formed
// redo copy of that very file.  Neither is ever read or written into the
// file, and neither keeps root's in-place update from finishing.
TEST(PathSafety, PlantedLookAlikesBesideTheFileAreNeverTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "the situation needs the superuser to set it up";
    ScratchDir d;
    std::string shared = folder(d, "shared", 01777);
    const std::string path = shared + "/p.ini";
    ASSERT_TRUE(writeFile(path, STORED));
    fs::create_hard_link(path, shared + "/other-name.ini"); // so the update goes in place
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    const std::string evil = "[S-y-S-t-E-m 1]\nFILENAME = p\nNUMSECTION = 1\n\n[Evil 1]\na = x\n";
    char redoName[128];
    std::snprintf(redoName, sizeof redoName, "/p.ini.~redo.%" PRIx64 ".%" PRIx64,
                  static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino));
    ASSERT_TRUE(asUser(OTHER, [&] {
        return writeFile(path + ".~kept", evil) &&
               writeFile(shared + redoName, redoHeader(info, evil) + evil);
    }));
    EXPECT_EQ(openAndClose(path, PROFILE_OPEN_READ).sections, "Main/1{a=x}");
    Outcome o = openAndClose(path, PROFILE_OPEN_UPDATE);
    EXPECT_EQ(o.status, 0u) << o.detail;
    EXPECT_EQ(openAndClose(path, PROFILE_OPEN_READ).sections, "Main/1{a=x} New/1{}");
    EXPECT_EQ(openAndClose(shared + "/other-name.ini", PROFILE_OPEN_READ).sections,
              "Main/1{a=x} New/1{}");
    EXPECT_EQ(readFile(shared + redoName), redoHeader(info, evil) + evil);
    EXPECT_EQ(listFolder(shared), "other-name.ini p.ini p.ini.~kept " + std::string(redoName + 1));
}

#endif // !_WIN32

} // namespace
