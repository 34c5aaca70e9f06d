// Read-only opens on POSIX systems (platform/read_file.h): the path walked
// part by part following every link, the last part opened as O_PATH and
// reopened only when it is a regular file (so a FIFO is never opened and
// nothing waits), and one whole version of the file handed to the reader.
#include "platform/read_file.h"

#include "platform/fault.h"
#include "platform/posix/path_walk.h"
#include "platform/posix/redo.h"
#include "platform/posix/updater_flag.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How many times a file that changes while it is copied is copied again.
constexpr int COPY_ATTEMPTS = 5;

bool sameVersion(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The redo copy of the file, when an in-place write of it is under way or
// was interrupted: a stream at the start of its content, else null.
FILE *redoStream(int folder, const char *name, const struct stat &file) {
    PlatRedoTarget target{folder,      name,        file.st_dev, file.st_ino,
                          file.st_uid, file.st_gid, file.st_mode};
    char redoName[NAME_MAX + 1];
    off_t size = 0;
    int redo = platRedoName(target, redoName) ? platOpenRedo(target, redoName, &size) : -1;
    if (redo < 0) return nullptr;
    FILE *stream = fdopen(redo, "rb");
    if (stream == nullptr) {
        close(redo);
        return nullptr;
    }
    if (std::fseek(stream, PLAT_REDO_HEADER_SIZE, SEEK_SET) != 0) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

// Copies the whole of fd into a scratch stream (rewound), or null.
FILE *copyOf(int fd) {
    FILE *copy = std::tmpfile();
    if (copy == nullptr) return nullptr;
    char chunk[16384];
    for (off_t at = 0;;) {
        ssize_t got = pread(fd, chunk, sizeof chunk, at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || (got > 0 && std::fwrite(chunk, 1, static_cast<size_t>(got), copy) !=
                                       static_cast<size_t>(got))) {
            std::fclose(copy);
            return nullptr;
        }
        if (got == 0) break;
        at += got;
    }
    if (std::fflush(copy) != 0 || std::fseek(copy, 0, SEEK_SET) != 0) {
        std::fclose(copy);
        return nullptr;
    }
    return copy;
}

// One whole version of a file that an updater holds: its redo copy when an
// in-place write is under way, else a copy of it made while it did not
// change.  Null with *result set when none could be had.
FILE *settledCopy(int fd, int folder, const char *name, PlatReadOpen *result,
                  PlatOpenReason *reason) {
    for (int attempt = 0; attempt < COPY_ATTEMPTS; ++attempt) {
        struct stat before {
        }, after{};
        if (fstat(fd, &before) != 0) break;
        if (FILE *redo = redoStream(folder, name, before)) return redo;
        FILE *copy = copyOf(fd);
        if (copy == nullptr) break;
        if (fstat(fd, &after) == 0 && sameVersion(before, after)) {
            FILE *redo = redoStream(folder, name, after);
            if (redo == nullptr) return copy;
            // An in-place write began during the copy: its copy is whole.
            std::fclose(copy);
            return redo;
        }
        std::fclose(copy);
    }
    platSetReason(reason, PLAT_WHY_CHANGING);
    *result = PLAT_READ_CHANGING;
    return nullptr;
}

} // namespace

PlatReadOpen platOpenForReading(const char *path, FILE **stream, PlatOpenReason *reason) {
    if (stream != nullptr) *stream = nullptr;
    platSetReason(reason, PLAT_WHY_NONE);
    if (path == nullptr || stream == nullptr || platFaultHit(PLAT_FAULT_FILE_OPEN)) {
        platSetReason(reason, PLAT_WHY_SYSTEM, path == nullptr ? ENOENT : EIO);
        return PLAT_READ_MISSING;
    }
    PlatOpenReason scratch{};
    if (reason == nullptr) reason = &scratch;
    PlatWalk walk{};
    if (platWalkPath(path, PLAT_WALK_READ, &walk, reason) != 0)
        return reason->why == PLAT_WHY_NOT_REGULAR ? PLAT_READ_NOT_REGULAR : PLAT_READ_MISSING;
    PlatReadOpen result = PLAT_READ_MISSING;
    struct stat info {};
    int fd = -1;
    if (walk.target < 0) {
        platSetReason(reason, PLAT_WHY_SYSTEM, ENOENT);
    } else if (fstat(walk.target, &info) != 0 || !S_ISREG(info.st_mode)) {
        platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0, platKindOf(info.st_mode));
        result = PLAT_READ_NOT_REGULAR;
    } else if ((fd = platReopen(walk.target, walk.folder, walk.name, O_RDONLY)) < 0) {
        platSetReason(reason, PLAT_WHY_SYSTEM, errno);
    }
    if (walk.target >= 0) close(walk.target);
    FILE *out = nullptr;
    if (fd >= 0) {
        // No updater holds the file or waits for it: the shared lock keeps
        // in-place writes out while it is read.  A file system without
        // locks reads as is.
        bool quiet =
            !platUpdaterPresent(fd) && (flock(fd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK);
        out = redoStream(walk.folder, walk.name, info);
        if (out == nullptr && quiet) {
            out = fdopen(fd, "rb");
            if (out != nullptr)
                fd = -1;
            else
                platSetReason(reason, PLAT_WHY_SYSTEM, errno);
        } else if (out == nullptr) {
            out = settledCopy(fd, walk.folder, walk.name, &result, reason);
        }
        if (fd >= 0) close(fd);
    }
    close(walk.folder);
    if (out == nullptr) return result;
    *stream = out;
    return PLAT_READ_OPENED;
}

void platEndRead(FILE *stream) {
    if (stream != nullptr) (void)flock(fileno(stream), LOCK_UN);
}
