// The rewrite on POSIX systems: a 0600 temporary file beside the stored one
// through the folder opened at open (openat, renameat: no path is resolved
// again), fsync, the stored file's owner, group, extended attributes and
// mode, renameat, and an fsync of the folder so that the rename survives a
// power cut.  Where that would change what the file is, or is refused, the
// content is written in place through the descriptor opened at open.
#include "platform/replace.h"

#include "platform/fault.h"
#include "platform/posix/redo.h"
#include "platform/posix/update_state.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr size_t XATTR_LIST_MAX_BYTES = 65536;
constexpr size_t XATTR_VALUE_MAX_BYTES = 65536;

struct CreateBeside {
    int folder;
    int fd;
};

PlatCreateTry createBeside(const char *name, void *context) {
    auto *c = static_cast<CreateBeside *>(context);
    // 0600 whatever the umask: nobody else may open the new content before
    // it has the stored file's permissions.
    c->fd = openat(c->folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (c->fd >= 0) return PLAT_CREATE_DONE;
    return errno == EEXIST ? PLAT_CREATE_EXISTS : PLAT_CREATE_FAILED;
}

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
        redo = platWriteRedo({file->folder, file->name, file->device, file->inode, file->owner},
                             source, size, redoName);
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

// Ends the rewrite's stream; removes its temporary file unless keep.
void endRewrite(PlatUpdateFile *file, FILE *out, bool keep) {
    if (out != nullptr) fclose(out);
    file->rewrite = nullptr;
    if (file->tempName[0] != '\0' && !keep) (void)unlinkat(file->folder, file->tempName, 0);
    file->tempName[0] = '\0';
}

} // namespace

int platRewriteBegin(PlatUpdateFile *file, FILE **out) {
    if (out != nullptr) *out = nullptr;
    if (file == nullptr || out == nullptr || file->rewrite != nullptr) return -1;
    if (platFaultHit(PLAT_FAULT_FILE_TEMP)) return -1;
    // Beside the stored file when the folder takes a new file of a longer
    // name; else in a scratch file, for an in-place write.
    CreateBeside create{file->folder, -1};
    FILE *stream = nullptr;
    if (platCreateUnderFreshName(file->name, file->tempName, sizeof file->tempName, createBeside,
                                 &create) == 0) {
        stream = fdopen(create.fd, "w+b");
        if (stream == nullptr) {
            close(create.fd);
            (void)unlinkat(file->folder, file->tempName, 0);
            file->tempName[0] = '\0';
        }
    }
    if (stream == nullptr) {
        file->tempName[0] = '\0';
        stream = std::tmpfile();
    }
    if (stream == nullptr) return -1;
    file->rewrite = stream;
    *out = stream;
    return 0;
}

void platRewriteAbandon(PlatUpdateFile *file, FILE *out) {
    if (file == nullptr) {
        if (out != nullptr) fclose(out);
        return;
    }
    endRewrite(file, out, false);
}

PlatRewrite platRewriteFinish(PlatUpdateFile *file, FILE *out) {
    if (file == nullptr || out == nullptr || out != file->rewrite) {
        platRewriteAbandon(file, out);
        return PLAT_REWRITE_REFUSED;
    }
    int temp = fileno(out);
    if (fflush(out) != 0 || platFaultHit(PLAT_FAULT_FILE_SYNC) || fsync(temp) != 0) {
        endRewrite(file, out, false);
        return PLAT_REWRITE_FAILED;
    }
    // Write nothing through a name that leads elsewhere now.
    if (!platStillNamesFile(file)) {
        endRewrite(file, out, false);
        return PLAT_REWRITE_MOVED;
    }
    const bool beside = file->tempName[0] != '\0';
    if (beside && keepIdentity(file, temp)) {
        if (platFaultHit(PLAT_FAULT_FILE_RENAME)) {
            endRewrite(file, out, false);
            return PLAT_REWRITE_REFUSED;
        }
        // Last check; renameat replaces a name and never follows a link in
        // its place, so a swap after it replaces the swapped-in name only.
        if (!platStillNamesFile(file)) {
            endRewrite(file, out, false);
            return PLAT_REWRITE_MOVED;
        }
        if (renameat(file->folder, file->tempName, file->folder, file->name) == 0) {
            file->tempName[0] = '\0';
            platSyncFolder(file->folder);
            endRewrite(file, out, false);
            return PLAT_REWRITE_REPLACED;
        }
        if (!renameRefused(errno)) {
            endRewrite(file, out, false);
            return PLAT_REWRITE_REFUSED;
        }
    }
    PlatRewrite result = writeInPlace(file, temp, beside);
    endRewrite(file, out, false);
    return result;
}
