// The rewrite's primitives on POSIX systems (platform/rewrite_parts.h): a
// 0600 temporary file beside the stored one through the folder opened at
// open (openat, renameat: no path is resolved again), fsync, the stored
// file's owner, group, extended attributes and mode, renameat, and an fsync
// of the folder so that the rename survives a power cut; the in-place write
// through the descriptor opened at open, behind a redo copy; the leftovers
// beside the file, and the finishing of an interrupted in-place write.
#include "platform/fault.h"
#include "platform/posix/redo.h"
#include "platform/posix/update_state.h"
#include "platform/rewrite_parts.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr size_t XATTR_LIST_MAX_BYTES = 65536;
constexpr size_t XATTR_VALUE_MAX_BYTES = 65536;

// Copies every extended attribute of from to to (POSIX ACLs are kept in
// them).  True when all were copied, or the file system keeps none.
bool copyAttributes(int from, int to) {
    ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    if (size == 0) return true;
    if (static_cast<size_t>(size) > XATTR_LIST_MAX_BYTES) return false;
    char *names = static_cast<char *>(std::malloc(static_cast<size_t>(size)));
    char *value = static_cast<char *>(std::malloc(XATTR_VALUE_MAX_BYTES));
    bool ok = names != nullptr && value != nullptr;
    if (ok) size = flistxattr(from, names, static_cast<size_t>(size));
    ok = ok && size >= 0;
    for (ssize_t at = 0; ok && at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const char *name = names + at;
        ssize_t n = fgetxattr(from, name, value, XATTR_VALUE_MAX_BYTES);
        ok = n >= 0 && fsetxattr(to, name, value, static_cast<size_t>(n), 0) == 0;
    }
    std::free(names);
    std::free(value);
    return ok;
}

// Gives the temporary file what the stored file is: owner and group, then
// extended attributes, then mode (last, as a change of owner clears the
// set-user-id bits).  False when any of it cannot be given, so that the
// rewrite goes in place instead.
bool keepIdentity(const PlatUpdateFile *file, int temp) {
    struct stat stored {
    }, made{};
    if (fstat(file->fd, &stored) != 0 || fstat(temp, &made) != 0) return false;
    if (stored.st_nlink > 1) return false; // a replace would split the hard links
    if (platFaultHit(PLAT_FAULT_FILE_OWNER)) return false;
    if ((made.st_uid != stored.st_uid || made.st_gid != stored.st_gid) &&
        fchown(temp, stored.st_uid, stored.st_gid) != 0)
        return false;
    if (!copyAttributes(file->fd, temp)) return false;
    return fchmod(temp, stored.st_mode & 07777) == 0;
}

PlatRedoTarget redoTarget(const PlatUpdateFile *file) {
    return {file->folder, file->name,  file->device, file->inode,
            file->owner,  file->group, file->mode};
}

// The refusals of a rename that an in-place write can stand in for.
bool renameRefused(int error) {
    return error == EBUSY || error == EXDEV || error == EACCES || error == EPERM || error == EROFS;
}

// Writes the whole content of source over the stored file through its own
// descriptor.  When the new content could be prepared beside the file, a
// redo copy of it is made durable first (platform/posix/redo.h), so that a
// crash at any moment of the write leaves a whole version for the next
// open; if that copy cannot be made, nothing is written.  Without a folder
// that takes new files there is no copy, and a crash can leave the file
// partly written.
PlatRewrite writeInPlace(const PlatUpdateFile *file, int source, bool beside) {
    struct stat info {};
    if (fstat(source, &info) != 0) return PLAT_REWRITE_FAILED;
    const off_t size = info.st_size;
    if (platFaultHit(PLAT_FAULT_FILE_INPLACE)) return PLAT_REWRITE_REFUSED;
    char redoName[NAME_MAX + 1] = "";
    int redo = -1;
    if (beside) {
        redo = platWriteRedo(redoTarget(file), source, size, redoName);
        if (redo < 0) return PLAT_REWRITE_FAILED;
    }
    int copied = redo >= 0 ? platCopyInPlace(redo, PLAT_REDO_HEADER_SIZE, size, file->fd)
                           : platCopyInPlace(source, 0, size, file->fd);
    if (redo >= 0) close(redo);
    if (copied == -1) return PLAT_REWRITE_PARTIAL; // the redo copy stays: the file may be torn
    if (redo >= 0) {
        platCrashPoint();
        (void)unlinkat(file->folder, redoName, 0);
        platSyncFolder(file->folder);
    }
    return copied == 0 ? PLAT_REWRITE_IN_PLACE : PLAT_REWRITE_FAILED;
}

} // namespace

FILE *platRewriteStream(const PlatUpdateFile *file) { return file->rewrite; }

void platSetRewriteStream(PlatUpdateFile *file, FILE *stream) { file->rewrite = stream; }

bool platCanRewrite(const PlatUpdateFile *) { return true; }

FILE *platCreateBeside(PlatUpdateFile *file) {
    PlatCreateAt create{file->folder, -1};
    if (platCreateUnderFreshName(file->name, file->tempName, sizeof file->tempName,
                                 platCreatePrivateAt, &create) != 0)
        return nullptr;
    FILE *stream = fdopen(create.fd, "w+b");
    if (stream == nullptr) {
        close(create.fd);
        (void)unlinkat(file->folder, file->tempName, 0);
        file->tempName[0] = '\0';
    }
    return stream;
}

FILE *platCreateScratch() { return std::tmpfile(); }

bool platHasBeside(const PlatUpdateFile *file) { return file->tempName[0] != '\0'; }

bool platSyncToDisk(FILE *out) { return fsync(fileno(out)) == 0; }

bool platKeepIdentity(const PlatUpdateFile *file, FILE *out) {
    return keepIdentity(file, fileno(out));
}

PlatNameSwap platReplaceName(PlatUpdateFile *file) {
    // Last check; renameat replaces a name and never follows a link in its
    // place, so a swap after it replaces the swapped-in name only.
    if (!platStillNamesFile(file)) return PLAT_SWAP_MOVED;
    if (renameat(file->folder, file->tempName, file->folder, file->name) == 0) {
        file->tempName[0] = '\0';
        platSyncFolder(file->folder);
        return PLAT_SWAP_DONE;
    }
    return renameRefused(errno) ? PLAT_SWAP_IN_PLACE : PLAT_SWAP_REFUSED;
}

PlatRewrite platWriteInPlace(PlatUpdateFile *file, FILE **out, bool beside) {
    return writeInPlace(file, fileno(*out), beside);
}

void platEndRewrite(PlatUpdateFile *file, FILE *out) {
    if (out != nullptr) fclose(out);
    file->rewrite = nullptr;
    if (file->tempName[0] != '\0') (void)unlinkat(file->folder, file->tempName, 0);
    file->tempName[0] = '\0';
}

void platEachLeftover(const PlatUpdateFile *file, PlatLeftoverFn each, void *context) {
    int listing = openat(file->folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR *dir = fdopendir(listing);
    if (dir == nullptr) {
        close(listing);
        return;
    }
    while (const dirent *entry = readdir(dir)) {
        struct stat info {};
        if (platIsTempNameOf(file->name, entry->d_name) &&
            fstatat(file->folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && !each(file, entry->d_name, context))
            break;
    }
    int error = errno;
    closedir(dir);
    errno = error;
}

int platFinishInterrupted(const PlatUpdateFile *file, const char *name) {
    PlatRedoTarget target = redoTarget(file);
    char redoName[NAME_MAX + 1];
    if (name == nullptr) {
        if (!platRedoName(target, redoName)) return 0;
        name = redoName;
    }
    off_t size = 0;
    int redo = platOpenRedo(target, name, &size);
    if (redo < 0) return 0;
    int copied = platCopyInPlace(redo, PLAT_REDO_HEADER_SIZE, size, file->fd);
    int error = errno;
    close(redo);
    if (copied != 0) {
        errno = error;
        return -1;
    }
    platCrashPoint();
    // A copy left behind would be read instead of the file, and written
    // over it again, after the file has changed: a copy of another user's
    // that this one cannot remove (a sticky folder) fails the open.
    if (unlinkat(file->folder, name, 0) != 0 && errno != ENOENT) return -1;
    platSyncFolder(file->folder);
    return 0;
}

void platRemoveLeftover(const PlatUpdateFile *file, const char *name) {
    (void)unlinkat(file->folder, name, 0);
}
