// Redo copies of the in-place write (platform/posix/redo.h).
#include "platform/posix/redo.h"

#include "platform/fault.h"
#include "platform/redo_format.h"
#include "platform/temp_name.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t COPY_CHUNK = 65536;
constexpr int MARK_TRIES = 100; // 100 pauses of 1 ms: past any clock step
constexpr long MARK_PAUSE_NS = 1000000;

bool writeAll(int fd, const char *bytes, size_t n, off_t at) {
    while (n > 0) {
        platCrashPoint();
        ssize_t put = pwrite(fd, bytes, n, at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        n -= static_cast<size_t>(put);
        at += put;
    }
    return true;
}

// Copies size bytes from source at from to dest at to; the checksum of what
// was copied goes to *checksum when it is not null.  dest -1: only reads.
// inPlace: dest is the stored file (its probe may fail a write).
bool copyRange(int source, off_t from, off_t size, int dest, off_t to, uint64_t *checksum,
               bool inPlace = false) {
    char *chunk = static_cast<char *>(std::malloc(COPY_CHUNK));
    if (chunk == nullptr) return false;
    uint64_t hash = PLAT_REDO_CHECKSUM_START;
    bool ok = true;
    for (off_t done = 0; ok && done < size;) {
        size_t want = static_cast<size_t>(size - done) < COPY_CHUNK
                          ? static_cast<size_t>(size - done)
                          : COPY_CHUNK;
        ssize_t got = pread(source, chunk, want, from + done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        hash = platRedoChecksum(hash, chunk, static_cast<size_t>(got));
        if (dest >= 0)
            ok = !(inPlace && platFaultHit(PLAT_FAULT_FILE_INPLACE)) &&
                 writeAll(dest, chunk, static_cast<size_t>(got), to + done);
        done += got;
    }
    std::free(chunk);
    if (checksum != nullptr) *checksum = hash;
    return ok;
}

// Gives the copy made under temp the redo name, never replacing a name
// that exists.  True when it has that name now.
bool publish(int folder, const char *temp, const char *name) {
    platCrashPoint();
    if (renameat2(folder, temp, folder, name, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a second name, then the
    // temporary one removed.  A crash in between leaves both names on one
    // file, which the update open's sweep handles.
    if (linkat(folder, temp, folder, name, 0) != 0) return false;
    (void)unlinkat(folder, temp, 0);
    return true;
}

// True when a file of this owner and group could only have been made by
// someone who may write the target anyway (see platform/posix/redo.h).
bool trustedMaker(const PlatRedoTarget &target, const struct stat &made) {
    if (made.st_uid == geteuid() || made.st_uid == 0 || made.st_uid == target.owner) return true;
    struct stat folder {};
    return made.st_gid == target.group && (target.mode & S_IWGRP) != 0 &&
           fstat(target.folder, &folder) == 0 && (folder.st_mode & S_IWOTH) == 0;
}

// Opens the copy to those who may read the file: the file's group where
// the copy can have it, and the file's read permission for others.
void shareLikeTheFile(const PlatRedoTarget &target, int fd) {
    struct stat made {};
    if (fstat(fd, &made) != 0) return;
    mode_t mode = 0600 | (target.mode & S_IROTH);
    if (made.st_gid == target.group || fchown(fd, static_cast<uid_t>(-1), target.group) == 0)
        mode |= target.mode & S_IRGRP;
    (void)fchmod(fd, mode);
}

// Makes sure the file's modification time differs from before's, so that a
// reader that saw the file before the write and after it can tell: the
// clock that stamps files advances in steps of a few milliseconds, and a
// write within the step of the one before would leave the time as it was.
void markChanged(int fd, const struct stat &before) {
    for (int tries = 0; tries < MARK_TRIES; ++tries) {
        struct stat now {};
        if (fstat(fd, &now) != 0 || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
            now.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
            return;
        timespec pause{0, MARK_PAUSE_NS};
        nanosleep(&pause, nullptr);
        (void)futimens(fd, nullptr); // now: write access is enough
    }
}

} // namespace

PlatCreateTry platCreatePrivateAt(const char *name, void *context) {
    auto *c = static_cast<PlatCreateAt *>(context);
    c->fd = openat(c->folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (c->fd >= 0) return PLAT_CREATE_DONE;
    return errno == EEXIST ? PLAT_CREATE_EXISTS : PLAT_CREATE_FAILED;
}

bool platRedoName(const PlatRedoTarget &target, char (&name)[NAME_MAX + 1]) {
    return platRedoFormatName(target.name, static_cast<uint64_t>(target.device),
                              static_cast<uint64_t>(target.inode), name, sizeof name);
}

void platSyncFolder(int folder) {
    platCrashPoint();
    if (!platFaultHit(PLAT_FAULT_FILE_SYNC)) (void)fsync(folder);
}

int platWriteRedo(const PlatRedoTarget &target, int source, off_t size,
                  char (&name)[NAME_MAX + 1]) {
    name[0] = '\0';
    if (platFaultHit(PLAT_FAULT_FILE_REDO)) return -1;
    PlatCreateAt create{target.folder, -1};
    char temp[NAME_MAX + 1];
    if (platCreateUnderFreshName(target.name, temp, sizeof temp, platCreatePrivateAt, &create) != 0)
        return -1;
    shareLikeTheFile(target, create.fd);
    uint64_t checksum = 0;
    char header[PLAT_REDO_HEADER_BYTES];
    bool ok = copyRange(source, 0, size, create.fd, PLAT_REDO_HEADER_SIZE, &checksum);
    if (ok) {
        platRedoFormatHeader(header, static_cast<uint64_t>(target.device),
                             static_cast<uint64_t>(target.inode), static_cast<uint64_t>(size),
                             checksum);
        ok = writeAll(create.fd, header, PLAT_REDO_HEADER_SIZE, 0) && (platCrashPoint(), true) &&
             !platFaultHit(PLAT_FAULT_FILE_SYNC) && fsync(create.fd) == 0;
    }
    if (!ok) {
        close(create.fd);
        (void)unlinkat(target.folder, temp, 0);
        return -1;
    }
    char fixed[NAME_MAX + 1];
    if (platRedoName(target, fixed)) {
        bool named = publish(target.folder, temp, fixed);
        if (!named && errno == EEXIST) {
            // A copy of our own left from a failed write of this file is
            // superseded; anything else is not ours to remove, and the copy
            // stays under its temporary name.
            struct stat there {};
            if (fstatat(target.folder, fixed, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(there.st_mode) && there.st_uid == geteuid() &&
                unlinkat(target.folder, fixed, 0) == 0)
                named = publish(target.folder, temp, fixed);
        }
        std::memcpy(name, named ? fixed : temp, sizeof name);
    } else {
        std::memcpy(name, temp, sizeof name);
    }
    platSyncFolder(target.folder);
    return create.fd;
}

int platOpenRedo(const PlatRedoTarget &target, const char *name, off_t *size) {
    int fd = openat(target.folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    char header[PLAT_REDO_HEADER_BYTES] = {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && trustedMaker(target, info) &&
              info.st_size >= PLAT_REDO_HEADER_SIZE &&
              pread(fd, header, PLAT_REDO_HEADER_SIZE, 0) == PLAT_REDO_HEADER_SIZE;
    uint64_t length = 0, checksum = 0, found = 0;
    ok = ok &&
         platRedoParseHeader(header, static_cast<uint64_t>(target.device),
                             static_cast<uint64_t>(target.inode), &length, &checksum) &&
         static_cast<uint64_t>(info.st_size - PLAT_REDO_HEADER_SIZE) == length &&
         copyRange(fd, PLAT_REDO_HEADER_SIZE, static_cast<off_t>(length), -1, 0, &found) &&
         found == checksum;
    if (!ok) {
        close(fd);
        return -1;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *size = static_cast<off_t>(length);
    return fd;
}

int platCopyInPlace(int source, off_t from, off_t size, int fd) {
    struct stat before {};
    if (fstat(fd, &before) != 0) return -2;
    if (size > 0) {
        int error = posix_fallocate(fd, 0, size);
        // A file system without reservations writes without one.
        if (error != 0 && error != EOPNOTSUPP && error != EINVAL) return -2;
    }
    if (!copyRange(source, from, size, fd, 0, nullptr, true)) return -1;
    platCrashPoint();
    if (ftruncate(fd, size) != 0 || platFaultHit(PLAT_FAULT_FILE_SYNC) || fsync(fd) != 0) return -1;
    markChanged(fd, before);
    return 0;
}
