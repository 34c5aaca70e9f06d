// The rewrite at close writes only the file that was opened, keeps what the
// file is (owner, group, mode, attributes, links), takes the in-place path
// where the atomic one cannot keep it, and loses no concurrent update.
#include "platform/fault.h"
#include "platform/temp_name.h"
#include "profile/loadsave.h"
#include "profile/operations.h"
#include "support/child.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/profile_io.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

const std::string STORED = "[S-y-S-t-E-m 1]\nFILENAME = p\nNUMSECTION = 1\n\n[Main 1]\na = x\n";
const std::string TEXT_3 =
    profileErrorText(3, "Error : The user is not authorized to perform specified operation");
const std::string TEXT_8 = profileErrorText(8, "Error : File is found to be tampered");
const std::string TEXT_12 = profileErrorText(12, "Error : File can not be opened");

// Opens path for update in its own context, adds the section and closes;
// the first failing status, or 0.  texts: the collector's texts afterwards.
uint32_t addSection(const std::string &path, const char *name, std::string *texts = nullptr,
                    ProfileDecodeLineFn decode = nullptr, uint32_t flags = 0) {
    TestContext ctx{PROFILE_IO_STREAM, nullptr, decode};
    ProfileFile *file = nullptr;
    uint32_t status =
        profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, flags, 0);
    ProfileSectionInfo info;
    if (status == 0) status = profileCreateSection(file, name, "1", &info);
    if (status == 0) status = profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0);
    if (file != nullptr) profileDiscardFile(&file);
    if (texts != nullptr) *texts = ctx.texts();
    return status;
}

// The sections of a stored file, read-only.
std::string sections(const std::string &path) {
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    if (profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0) != 0)
        return "(does not load)";
    std::string d = describe(file, false);
    profileCloseFile(&file, 0, 0);
    return d;
}

KV_CHILD_ROLE(add_sections) {
    // argv[0]: the file; argv[1]: a prefix; argv[2]: how many sections.
    // Adds each in its own open and close; the exit code is the first
    // failing status.
    if (argc < 3) return 100;
    for (int i = 0; i < std::atoi(argv[2]); ++i) {
        std::string name = std::string(argv[1]) + "_" + std::to_string(i);
        uint32_t status = addSection(argv[0], name.c_str());
        if (status != 0) return static_cast<int>(status);
    }
    return 0;
}

TEST(RewriteSafety, ConcurrentUpdatesAreAllKept) {
#ifdef _WIN32
    constexpr int PROCESSES = 4, EACH = 3; // starting a process under Wine is slow
#else
    constexpr int PROCESSES = 8, EACH = 5;
#endif
    ScratchDir dir;
    const std::string path = dir.file("p.ini");
    ASSERT_TRUE(writeFile(path, STORED));
    std::vector<PlatProcess> children;
    for (int p = 0; p < PROCESSES; ++p) {
        children.push_back(
            startChild("add_sections", {path, "P" + std::to_string(p), std::to_string(EACH)}));
        ASSERT_NE(children.back(), nullptr);
    }
    for (PlatProcess child : children) EXPECT_EQ(platWaitProcess(child), 0);
    const std::string found = sections(path);
    for (int p = 0; p < PROCESSES; ++p)
        for (int i = 0; i < EACH; ++i) {
            std::string name = "P" + std::to_string(p) + "_" + std::to_string(i) + "/1{}";
            EXPECT_NE(found.find(name), std::string::npos) << name << " lost: " << found;
        }
    EXPECT_EQ(listFolder(dir.path()), "p.ini");
}

// Swaps the file away during the load: the first line it decodes moves the
// stored file aside and puts another in its place (a link to a victim where
// links can be made).
std::string swapPath, swapVictim;
uint32_t swapWhileLoading(const char *stored, char *out, uint32_t capacity, uint32_t, uint64_t) {
    if (!swapPath.empty()) {
        fs::rename(fs::u8path(swapPath), fs::u8path(swapPath + ".aside"));
        std::error_code ec;
        fs::create_symlink(fs::u8path(swapVictim), fs::u8path(swapPath), ec);
        if (ec) fs::copy_file(fs::u8path(swapVictim), fs::u8path(swapPath));
        swapPath.clear();
    }
    std::snprintf(out, capacity, "%s", stored);
    return 0;
}

TEST(RewriteSafety, FileSwappedDuringTheLoadIsNotWrittenThroughItsPath) {
    ScratchDir dir;
    const std::string path = dir.file("p.ini"), victim = dir.file("victim.ini");
    const std::string secret = "root-only content\n";
    ASSERT_TRUE(writeFile(path, STORED));
    ASSERT_TRUE(writeFile(victim, secret));
    swapPath = path;
    swapVictim = victim;
    std::string texts;
    EXPECT_EQ(addSection(path, "New", &texts, swapWhileLoading, PROFILE_OPEN_FLAG_DECODE), 3u);
    EXPECT_NE(texts.find(TEXT_3), std::string::npos) << texts;
    EXPECT_EQ(readFile(victim), secret);
    EXPECT_EQ(readFile(path + ".aside"), STORED);
    EXPECT_EQ(listFolder(dir.path()), "p.ini p.ini.aside victim.ini");
}

TEST(RewriteSafety, UpdateLockIsHeldUntilTheFileIsEndedEveryWay) {
    ScratchDir dir;
    const std::string path = dir.file("p.ini");
    ASSERT_TRUE(writeFile(path, STORED));
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    // Another holder of the lock for the whole wait: 12, recorded, the file
    // untouched.
    platFaultArm(PLAT_FAULT_FILE_LOCK, 0, 1);
    EXPECT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 12u);
    EXPECT_TRUE(ctx.recorded(TEXT_12)) << ctx.texts();
    EXPECT_STREQ(profileContextDetail(ctx.index), "held by another process for 15 s");
    EXPECT_EQ(readFile(path), STORED);
    // Each way of ending an update open releases the lock, or the next
    // open would wait 15 s and fail.
    auto openUpdate = [&] {
        EXPECT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0), 0u);
    };
    openUpdate();
    EXPECT_EQ(profileDiscardFile(&file), 0u);
    EXPECT_EQ(file, nullptr);
    openUpdate();
    platFaultArm(PLAT_FAULT_FILE_RENAME, 0, 1);
    EXPECT_EQ(profileCloseFile(&file, 0, 0), 3u);
    EXPECT_STREQ(profileContextDetail(ctx.index), "the file can neither be replaced nor written");
    EXPECT_EQ(profileCloseFile(&file, 0, 0), 0u); // the retried close
    openUpdate();
    EXPECT_EQ(profileCloseFile(&file, 0, 0), 0u);
    openUpdate();
    platFaultReset();
    EXPECT_EQ(profileDiscardFile(&file), 0u);
    EXPECT_EQ(profileDiscardFile(&file), 11u);
}

// The crash of a rewrite between creating its temporary file and replacing
// the stored one.
uint32_t crashAtThird(const char *plain, char *out, uint32_t capacity, uint32_t, uint64_t) {
    static int calls = 0;
    if (++calls == 3) std::_Exit(42);
    std::snprintf(out, capacity, "%s", plain);
    return 0;
}

KV_CHILD_ROLE(crash_in_rewrite) {
    if (argc < 1) return 2;
    int32_t index = -1;
    if (profileOpenLib(&index, 0, PROFILE_IO_STREAM, crashAtThird, nullptr, nullptr, nullptr))
        return 3;
    ProfileFile *file = nullptr;
    if (profileOpenFile(index, argv[0], PROFILE_OPEN_UPDATE, &file, 0, 0) != 0) return 4;
    profileCloseFile(&file, PROFILE_SAVE_ENCODE, 0);
    return 5; // not reached
}

TEST(RewriteSafety, KilledRewriteLeavesATemporaryFileThatTheNextUpdateRemoves) {
    ScratchDir dir;
    const std::string path = dir.file("p.ini");
    ASSERT_TRUE(writeFile(path, STORED));
    PlatProcess child = startChild("crash_in_rewrite", {path});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(platWaitProcess(child), 42);
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(fs::u8path(dir.path())))
        names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 2u) << listFolder(dir.path());
    EXPECT_TRUE(platIsTempNameOf("p.ini", (names[0] == "p.ini" ? names[1] : names[0]).c_str()));
    EXPECT_EQ(sections(path), "Main/1{a=x}"); // a read-only open removes nothing
    EXPECT_EQ(listFolder(dir.path()).size(), std::string("p.ini p.ini.~12345678").size());
    EXPECT_EQ(addSection(path, "New"), 0u);
    EXPECT_EQ(listFolder(dir.path()), "p.ini");
    EXPECT_EQ(sections(path), "Main/1{a=x} New/1{}");
}

#ifdef _WIN32
// On Windows the move goes to the file a link leads to, as on Linux: the
// link stays a link.
TEST(RewriteSafety, SymbolicLinkStaysALinkAndItsTargetIsWritten) {
    ScratchDir dir;
    fs::create_directory(fs::u8path(dir.file("sub")));
    const std::string real = dir.file("sub/real.ini"), link = dir.file("link.ini");
    ASSERT_TRUE(writeFile(real, STORED));
    std::error_code ec;
    fs::create_symlink(fs::u8path(real), fs::u8path(link), ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    EXPECT_EQ(addSection(link, "New"), 0u);
    EXPECT_TRUE(fs::is_symlink(fs::u8path(link)));
    EXPECT_EQ(sections(real), "Main/1{a=x} New/1{}");
    EXPECT_EQ(listFolder(dir.file("sub")), "real.ini");
}
#endif

#ifndef _WIN32
// Situations of a file on Linux: who it belongs to, what it is, where it
// lies.  Each is set up, updated by root or by an unprivileged user, and
// checked.
struct FileFacts {
    bool exists = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    ino_t inode = 0;
    nlink_t links = 0;
};

FileFacts facts(const std::string &path, bool follow = true) {
    FileFacts f;
    struct stat info {};
    if ((follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) return f;
    return {true, info.st_mode, info.st_uid, info.st_gid, info.st_ino, info.st_nlink};
}

constexpr uid_t NOBODY = 65534;
constexpr uid_t SOMEONE = 4321; // a user with no process: only owns files

KV_CHILD_ROLE(add_section_unprivileged) {
    // argv[0]: the file.  The exit code is the update's status, or 101 when
    // the process cannot give its privileges up.
    if (argc < 1 || platDropPrivileges() != 0) return 101;
    return static_cast<int>(addSection(argv[0], "New"));
}

struct Situation {
    const char *name;
    bool unprivileged; // updated by user nobody instead of root
    // Makes the situation in dir; returns the path to update.
    std::function<std::string(const ScratchDir &dir)> setUp;
    uint32_t status;
    // What must hold afterwards; before: the facts of the path at set-up.
    std::function<void(const ScratchDir &dir, const std::string &path, const FileFacts &before)>
        check;
};

void expectUpdated(const std::string &path) { EXPECT_EQ(sections(path), "Main/1{a=x} New/1{}"); }
void expectSameFile(const std::string &path, const FileFacts &before) {
    FileFacts now = facts(path);
    EXPECT_EQ(now.inode, before.inode) << "not written in place";
    EXPECT_EQ(now.uid, before.uid);
    EXPECT_EQ(now.gid, before.gid);
    EXPECT_EQ(now.mode, before.mode);
}

std::vector<Situation> situations() {
    return {
        {"another user's 0640 file, updated by root", false,
         [](const ScratchDir &d) {
             std::string p = d.file("p.ini");
             writeFile(p, STORED);
             chown(p.c_str(), NOBODY, NOBODY);
             chmod(p.c_str(), 0640);
             return p;
         },
         0,
         [](const ScratchDir &d, const std::string &p, const FileFacts &before) {
             expectUpdated(p);
             FileFacts now = facts(p);
             EXPECT_NE(now.inode, before.inode) << "not replaced atomically";
             EXPECT_EQ(now.uid, NOBODY);
             EXPECT_EQ(now.gid, NOBODY);
             EXPECT_EQ(now.mode & 07777, 0640u);
             EXPECT_EQ(listFolder(d.path()), "p.ini");
         }},
        {"a group-shared file in a set-group-id folder, updated by a member", true,
         [](const ScratchDir &d) {
             std::string folder = d.file("shared");
             fs::create_directory(folder);
             chown(folder.c_str(), 0, NOBODY);
             chmod(folder.c_str(), 02775);
             std::string p = folder + "/p.ini";
             writeFile(p, STORED);
             chown(p.c_str(), SOMEONE, NOBODY);
             chmod(p.c_str(), 0660);
             return p;
         },
         0,
         [](const ScratchDir &d, const std::string &p, const FileFacts &before) {
             expectUpdated(p);
             expectSameFile(p, before);
             EXPECT_EQ(listFolder(d.file("shared")), "p.ini");
         }},
        {"a file with a second hard link", false,
         [](const ScratchDir &d) {
             std::string p = d.file("p.ini");
             writeFile(p, STORED);
             fs::create_hard_link(p, d.file("other-name.ini"));
             return p;
         },
         0,
         [](const ScratchDir &d, const std::string &p, const FileFacts &before) {
             expectUpdated(p);
             expectUpdated(d.file("other-name.ini"));
             expectSameFile(p, before);
             EXPECT_EQ(facts(p).links, 2u);
         }},
        {"a symbolic link of the user's own", false,
         [](const ScratchDir &d) {
             fs::create_directory(d.file("sub"));
             std::string real = d.file("sub/real.ini");
             writeFile(real, STORED);
             chmod(real.c_str(), 0604);
             fs::create_symlink(real, d.file("link.ini"));
             return d.file("link.ini");
         },
         0,
         [](const ScratchDir &d, const std::string &p, const FileFacts &) {
             EXPECT_TRUE(fs::is_symlink(p));
             expectUpdated(d.file("sub/real.ini"));
             EXPECT_EQ(facts(p).mode & 07777, 0604u);
             EXPECT_EQ(listFolder(d.file("sub")), "real.ini");
         }},
        {"a symbolic link that another user planted in a shared folder", false,
         [](const ScratchDir &d) {
             std::string folder = d.file("shared");
             fs::create_directory(folder);
             chmod(folder.c_str(), 0777);
             writeFile(d.file("victim.ini"), STORED);
             std::string p = folder + "/p.ini";
             fs::create_symlink(d.file("victim.ini"), p);
             lchown(p.c_str(), NOBODY, NOBODY);
             return p;
         },
         12,
         [](const ScratchDir &d, const std::string &, const FileFacts &) {
             EXPECT_EQ(readFile(d.file("victim.ini")), STORED);
         }},
        {"a writable file in a folder the user cannot write", true,
         [](const ScratchDir &d) {
             std::string folder = d.file("closed");
             fs::create_directory(folder);
             chmod(folder.c_str(), 0755);
             std::string p = folder + "/p.ini";
             writeFile(p, STORED);
             chown(p.c_str(), NOBODY, NOBODY);
             return p;
         },
         0,
         [](const ScratchDir &d, const std::string &p, const FileFacts &before) {
             expectUpdated(p);
             expectSameFile(p, before);
             EXPECT_EQ(listFolder(d.file("closed")), "p.ini");
         }},
        {"a name too long for a temporary name beside it", false,
         [](const ScratchDir &d) {
             std::string p = d.file(std::string(250, 'n'));
             writeFile(p, STORED);
             return p;
         },
         0,
         [](const ScratchDir &d, const std::string &p, const FileFacts &before) {
             expectUpdated(p);
             expectSameFile(p, before);
             EXPECT_EQ(listFolder(d.path()), std::string(250, 'n'));
         }},
        {"a device node", false,
         [](const ScratchDir &d) {
             std::string p = d.file("p.ini");
             mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3));
             return p;
         },
         12,
         [](const ScratchDir &, const std::string &p, const FileFacts &) {
             EXPECT_TRUE(S_ISCHR(facts(p).mode));
         }},
        {"a FIFO", false,
         [](const ScratchDir &d) {
             std::string p = d.file("p.ini");
             mkfifo(p.c_str(), 0666);
             return p;
         },
         12,
         [](const ScratchDir &, const std::string &p, const FileFacts &) {
             EXPECT_TRUE(S_ISFIFO(facts(p).mode));
         }},
        {"a file with extended attributes", false,
         [](const ScratchDir &d) {
             std::string p = d.file("p.ini");
             writeFile(p, STORED);
             setxattr(p.c_str(), "user.origin", "kept", 4, 0);
             return p;
         },
         0,
         [](const ScratchDir &, const std::string &p, const FileFacts &) {
             expectUpdated(p);
             char value[16] = {};
             if (getxattr(p.c_str(), "user.origin", value, sizeof value) < 0 && errno == ENOTSUP)
                 return; // this file system keeps none
             EXPECT_STREQ(value, "kept");
         }},
    };
}

TEST(RewriteSafety, FileKindsAndSituationsOnLinux) {
    if (geteuid() != 0) GTEST_SKIP() << "the situations need the superuser to set them up";
    for (const Situation &s : situations()) {
        SCOPED_TRACE(s.name);
        ScratchDir dir;
        const std::string path = s.setUp(dir);
        const FileFacts before = facts(path);
        uint32_t status = 0;
        std::string texts;
        if (s.unprivileged) {
            PlatProcess child = startChild("add_section_unprivileged", {path});
            ASSERT_NE(child, nullptr);
            int code = platWaitProcess(child);
            if (code == 101) GTEST_SKIP() << "no unprivileged user to update the file as";
            status = static_cast<uint32_t>(code);
        } else {
            status = addSection(path, "New", &texts);
        }
        EXPECT_EQ(status, s.status) << texts;
        if (s.status == 12) {
            EXPECT_NE(texts.find(TEXT_12), std::string::npos) << texts;
        }
        s.check(dir, path, before);
    }
}
#endif

} // namespace
