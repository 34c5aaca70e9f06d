// Update opens on POSIX systems: a regular file opened read-write without
// blocking on FIFOs, an exclusive flock held until close, and the folder
// and name that lead to the file, kept as an open folder so that the
// rewrite never resolves the path again.
#include "platform/update_file.h"

#include "platform/fault.h"
#include "platform/posix/update_state.h"
#include "platform/replace.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned LOCK_PAUSE_FIRST_US = 100;
constexpr unsigned LOCK_PAUSE_MAX_US = 10000;

uint64_t nowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Takes the exclusive lock, polling until the deadline.  0 when taken (or
// when the file system has no such locks: the update then goes on without
// one), -1 when another holder kept it until the deadline.
int lockExclusive(int fd, uint64_t deadline) {
    unsigned pause = LOCK_PAUSE_FIRST_US;
    for (;;) {
        if (platFaultHit(PLAT_FAULT_FILE_LOCK)) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return 0;
        if (nowMs() >= deadline) return -1;
        usleep(pause);
        pause = pause * 2 > LOCK_PAUSE_MAX_US ? LOCK_PAUSE_MAX_US : pause * 2;
    }
}

// Splits path into its folder (written into folder) and last name.  False
// when either does not fit.
bool splitPath(const char *path, char (&folder)[PATH_MAX], char (&name)[NAME_MAX + 1]) {
    const char *slash = std::strrchr(path, '/');
    const char *last = slash == nullptr ? path : slash + 1;
    size_t nameLen = std::strlen(last);
    if (nameLen == 0 || nameLen > NAME_MAX) return false;
    std::memcpy(name, last, nameLen + 1);
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else if (slash == path) {
        std::strcpy(folder, "/");
    } else {
        auto n = static_cast<size_t>(slash - path);
        if (n >= sizeof folder) return false;
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    return true;
}

// A link as the last part of the path is followed for update only when it
// belongs to this user or to the owner of its folder: the rule the kernel
// applies in sticky world-writable folders, applied to every folder.
bool trustedLink(const char *path, const struct stat &link) {
    if (link.st_uid == geteuid()) return true;
    char folder[PATH_MAX];
    char name[NAME_MAX + 1];
    struct stat info {};
    return splitPath(path, folder, name) && stat(folder, &info) == 0 && link.st_uid == info.st_uid;
}

enum Bind { BIND_DONE, BIND_CHANGED, BIND_UNTRUSTED };

// Finds the folder and name that lead to the opened file (after every link)
// and checks, with the folder open, that the name still is that file.
Bind bindToFolder(const char *path, PlatUpdateFile *file) {
    struct stat at {};
    if (lstat(path, &at) != 0) return BIND_CHANGED;
    char resolved[PATH_MAX];
    const char *target = path;
    if (S_ISLNK(at.st_mode)) {
        if (!trustedLink(path, at)) return BIND_UNTRUSTED;
        if (realpath(path, resolved) == nullptr) return BIND_CHANGED;
        target = resolved;
    }
    char folder[PATH_MAX];
    if (!splitPath(target, folder, file->name)) return BIND_CHANGED;
    file->folder = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file->folder < 0) file->folder = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (file->folder < 0) return BIND_CHANGED;
    return platStillNamesFile(file) ? BIND_DONE : BIND_CHANGED;
}

// Removes the temporary files that killed rewrites left beside the file.
// Runs with the lock held, when no rewrite of this file is under way.
void removeLeftovers(const PlatUpdateFile *file) {
    int listing = openat(file->folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR *dir = fdopendir(listing);
    if (dir == nullptr) {
        close(listing);
        return;
    }
    while (const dirent *entry = readdir(dir)) {
        if (!platIsTempNameOf(file->name, entry->d_name)) continue;
        struct stat info {};
        if (fstatat(file->folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode))
            (void)unlinkat(file->folder, entry->d_name, 0);
    }
    closedir(dir);
}

void release(PlatUpdateFile *file) {
    if (file->fd >= 0) close(file->fd); // also releases the flock
    if (file->folder >= 0) close(file->folder);
    std::free(file);
}

} // namespace

bool platStillNamesFile(const PlatUpdateFile *file) {
    struct stat info {};
    return fstatat(file->folder, file->name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode) && info.st_dev == file->device && info.st_ino == file->inode;
}

PlatUpdateOpen platOpenForUpdate(const char *path, bool empty, unsigned waitMs,
                                 PlatUpdateFile **out, FILE **stream) {
    if (out != nullptr) *out = nullptr;
    if (stream != nullptr) *stream = nullptr;
    if (path == nullptr || out == nullptr || stream == nullptr || path[0] == '\0')
        return PLAT_UPDATE_MISSING;
    if (platFaultHit(PLAT_FAULT_FILE_OPEN)) return PLAT_UPDATE_MISSING;
    const uint64_t deadline = nowMs() + waitMs;
    for (;;) {
        // Never open a device or FIFO for writing, not even for a moment
        // (opening one can act on it); the check after the open settles a
        // swap in between.
        struct stat info {};
        if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode) && !trustedLink(path, info))
            return PLAT_UPDATE_UNTRUSTED;
        if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return PLAT_UPDATE_NOT_REGULAR;
        int flags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (empty ? O_CREAT : 0);
        int fd = open(path, flags, 0666);
        if (fd < 0)
            return errno == EISDIR || errno == ENXIO ? PLAT_UPDATE_NOT_REGULAR
                                                     : PLAT_UPDATE_MISSING;
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            close(fd);
            return PLAT_UPDATE_NOT_REGULAR;
        }
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (lockExclusive(fd, deadline) != 0) {
            close(fd);
            return PLAT_UPDATE_BUSY;
        }
        auto *file = static_cast<PlatUpdateFile *>(std::calloc(1, sizeof(PlatUpdateFile)));
        if (file == nullptr) {
            close(fd);
            return PLAT_UPDATE_MISSING;
        }
        file->fd = fd;
        file->folder = -1;
        file->device = info.st_dev;
        file->inode = info.st_ino;
        Bind bound = bindToFolder(path, file);
        if (bound != BIND_DONE) {
            release(file);
            if (bound == BIND_UNTRUSTED) return PLAT_UPDATE_UNTRUSTED;
            // Renamed or replaced while we opened or waited: open the file
            // that the path names now.
            if (nowMs() >= deadline) return PLAT_UPDATE_BUSY;
            continue;
        }
        int readFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        FILE *reader = readFd < 0 ? nullptr : fdopen(readFd, "rb");
        if (reader == nullptr || (empty && ftruncate(fd, 0) != 0)) {
            if (reader != nullptr)
                fclose(reader);
            else if (readFd >= 0)
                close(readFd);
            release(file);
            return PLAT_UPDATE_MISSING;
        }
        removeLeftovers(file);
        *out = file;
        *stream = reader;
        return PLAT_UPDATE_OPENED;
    }
}

void platCloseUpdate(PlatUpdateFile *file) {
    if (file == nullptr) return;
    if (file->rewrite != nullptr) platRewriteAbandon(file, file->rewrite);
    release(file);
}
