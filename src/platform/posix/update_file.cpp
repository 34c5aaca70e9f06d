// Update opens on POSIX systems: the path walked part by part, a regular
// file opened read-write with no window for a swap, an exclusive flock held
// until close, and the folder and name that lead to the file, kept as an
// open folder so that the rewrite never resolves the path again.
#include "platform/update_file.h"

#include "platform/fault.h"
#include "platform/posix/path_walk.h"
#include "platform/posix/update_state.h"
#include "platform/posix/updater_flag.h"
#include "platform/rewrite_parts.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

void release(PlatUpdateFile *file) {
    // Explicitly: the read stream is a duplicate of the same open file, and
    // would keep the flock for as long as the caller keeps it open.
    if (file->fd >= 0) {
        (void)flock(file->fd, LOCK_UN);
        platWithdrawUpdater(file->fd);
        close(file->fd);
    }
    if (file->folder >= 0) close(file->folder);
    std::free(file);
}

// A folder descriptor that can be listed and flushed, where the user may
// read the folder; else the O_PATH one kept.
int readableFolder(int folder) {
    int readable = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable < 0) return folder;
    close(folder);
    return readable;
}

enum Opened { OPEN_DONE, OPEN_FAILED, OPEN_AGAIN };

// Opens the walked last part for reading and writing: the inode the walk
// found, or a new file created exclusively.  OPEN_AGAIN: the name changed
// under the walk (created by another meanwhile).
Opened openLast(const PlatWalk &walk, PlatUpdateMode mode, int *fd, PlatUpdateOpen *result,
                PlatOpenReason *reason) {
    if (walk.target < 0) {
        if (mode == PLAT_UPDATE_EXISTING) {
            platSetReason(reason, PLAT_WHY_SYSTEM, ENOENT);
            *result = PLAT_UPDATE_MISSING;
            return OPEN_FAILED;
        }
        *fd = openat(walk.folder, walk.name,
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        if (*fd >= 0) return OPEN_DONE;
        if (errno == EEXIST) return OPEN_AGAIN;
    } else {
        struct stat info {};
        if (fstat(walk.target, &info) != 0 || !S_ISREG(info.st_mode)) {
            platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0, platKindOf(info.st_mode));
            *result = PLAT_UPDATE_NOT_REGULAR;
            return OPEN_FAILED;
        }
        *fd = platReopen(walk.target, walk.folder, walk.name, O_RDWR);
        if (*fd >= 0) return OPEN_DONE;
        if (errno == ESTALE) return OPEN_AGAIN;
    }
    platSetReason(reason, PLAT_WHY_SYSTEM, errno);
    *result = PLAT_UPDATE_MISSING;
    return OPEN_FAILED;
}

PlatUpdateOpen walkFailure(const PlatOpenReason &reason) {
    switch (reason.why) {
    case PLAT_WHY_UNTRUSTED_LINK:
        return PLAT_UPDATE_UNTRUSTED;
    case PLAT_WHY_NOT_REGULAR:
        return PLAT_UPDATE_NOT_REGULAR;
    case PLAT_WHY_TOO_MANY_LINKS:
        return PLAT_UPDATE_UNTRUSTED;
    default:
        return PLAT_UPDATE_MISSING;
    }
}

} // namespace

bool platStillNamesFile(const PlatUpdateFile *file) {
    struct stat info {};
    return fstatat(file->folder, file->name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode) && info.st_dev == file->device && info.st_ino == file->inode;
}

PlatUpdateOpen platOpenForUpdate(const char *path, PlatUpdateMode mode, unsigned waitMs,
                                 PlatUpdateFile **out, FILE **stream, PlatOpenReason *reason) {
    if (out != nullptr) *out = nullptr;
    if (stream != nullptr) *stream = nullptr;
    platSetReason(reason, PLAT_WHY_NONE);
    if (path == nullptr || out == nullptr || stream == nullptr || path[0] == '\0') {
        platSetReason(reason, PLAT_WHY_SYSTEM, ENOENT);
        return PLAT_UPDATE_MISSING;
    }
    if (platFaultHit(PLAT_FAULT_FILE_OPEN)) {
        platSetReason(reason, PLAT_WHY_SYSTEM, EIO);
        return PLAT_UPDATE_MISSING;
    }
    PlatOpenReason scratch{};
    if (reason == nullptr) reason = &scratch;
    const uint64_t deadline = nowMs() + waitMs;
    for (;;) {
        PlatWalk walk{};
        if (platWalkPath(path, PLAT_WALK_UPDATE, &walk, reason) != 0) return walkFailure(*reason);
        int fd = -1;
        PlatUpdateOpen failed = PLAT_UPDATE_MISSING;
        Opened opened = openLast(walk, mode, &fd, &failed, reason);
        if (walk.target >= 0) close(walk.target);
        if (opened != OPEN_DONE) {
            close(walk.folder);
            if (opened == OPEN_FAILED) return failed;
            if (nowMs() >= deadline) return PLAT_UPDATE_BUSY;
            continue;
        }
        struct stat info {};
        platAnnounceUpdater(fd); // readers now leave the file to us
        if (fstat(fd, &info) != 0 || lockExclusive(fd, deadline) != 0) {
            close(fd);
            close(walk.folder);
            platSetReason(reason, PLAT_WHY_BUSY);
            return PLAT_UPDATE_BUSY;
        }
        auto *file = static_cast<PlatUpdateFile *>(std::calloc(1, sizeof(PlatUpdateFile)));
        if (file == nullptr) {
            close(fd);
            close(walk.folder);
            platSetReason(reason, PLAT_WHY_SYSTEM, ENOMEM);
            return PLAT_UPDATE_MISSING;
        }
        file->fd = fd;
        file->folder = readableFolder(walk.folder);
        file->device = info.st_dev;
        file->inode = info.st_ino;
        file->owner = info.st_uid;
        file->group = info.st_gid;
        file->mode = info.st_mode;
        std::memcpy(file->name, walk.name, sizeof file->name);
        if (!platStillNamesFile(file)) {
            // Renamed or replaced while we opened or waited: open the file
            // that the path names now.
            release(file);
            if (nowMs() >= deadline) {
                platSetReason(reason, PLAT_WHY_BUSY);
                return PLAT_UPDATE_BUSY;
            }
            continue;
        }
        if (platSweepBeside(file) != 0) {
            platSetReason(reason, PLAT_WHY_SYSTEM, errno);
            release(file);
            return PLAT_UPDATE_MISSING;
        }
        int readFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        FILE *reader = readFd < 0 ? nullptr : fdopen(readFd, "rb");
        if (reader == nullptr || (mode == PLAT_UPDATE_EMPTY && ftruncate(fd, 0) != 0)) {
            platSetReason(reason, PLAT_WHY_SYSTEM, errno);
            if (reader != nullptr)
                fclose(reader);
            else if (readFd >= 0)
                close(readFd);
            release(file);
            return PLAT_UPDATE_MISSING;
        }
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
