// Opening a profile file (and loading it) and closing it (and rewriting it).
//
// In I/O mode 0 an update open (open modes 1 and 2) holds the file locked
// against other updaters until it is closed or discarded, and the rewrite
// at close writes only the file that was opened (platform/update_file.h,
// platform/replace.h): atomically through a temporary file beside it where
// that keeps the file what it is, else in place.  A failed close leaves the
// ProfileFile with the caller, still locked and without a stream; closing
// it again retries the rewrite, and discarding it gives it up.
#include "diag/safecopy.h"
#include "platform/read_file.h"
#include "platform/replace.h"
#include "platform/update_file.h"
#include "profile/limits.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Both kinds of open read in binary, so that a reader on Windows neither
// stops at a 0x1A byte (text mode takes it for the end of the file, and the
// rewrite would then drop the rest) nor alters line ends; a carriage return
// before a line feed is whitespace to the parser and is skipped by the
// built-in line decoding.

// The status of an update open that failed.
uint32_t updateOpenStatus(PlatUpdateOpen result) {
    return result == PLAT_UPDATE_MISSING ? PROFILE_STATUS_FILE_NOT_FOUND
                                         : PROFILE_STATUS_CANNOT_OPEN;
}

// The status of a read-only open that failed.
uint32_t readOpenStatus(PlatReadOpen result) {
    return result == PLAT_READ_MISSING ? PROFILE_STATUS_FILE_NOT_FOUND : PROFILE_STATUS_CANNOT_OPEN;
}

// Puts why an open failed into the context's detail, in the operating
// system's words where it has them.
void setReasonDetail(int32_t contextIndex, const PlatOpenReason &reason) {
    switch (reason.why) {
    case PLAT_WHY_NONE:
        break;
    case PLAT_WHY_SYSTEM:
        // A missing file is what status 2's own text says already.
        if (reason.error != ENOENT)
            profileSetDetail(contextIndex, "%s", std::strerror(reason.error));
        break;
    case PLAT_WHY_UNTRUSTED_LINK:
        profileSetDetail(contextIndex, "untrusted link at %s", reason.where);
        break;
    case PLAT_WHY_TOO_MANY_LINKS:
        profileSetDetail(contextIndex, "too many symbolic links at %s", reason.where);
        break;
    case PLAT_WHY_BUSY:
        profileSetDetail(contextIndex, "held by another process for %u s",
                         PLAT_UPDATE_LOCK_WAIT_MS / 1000);
        break;
    case PLAT_WHY_NOT_REGULAR:
        profileSetDetail(contextIndex, "not a regular file: %s",
                         reason.kind != nullptr ? reason.kind : "special file");
        break;
    case PLAT_WHY_CHANGING:
        profileSetDetail(contextIndex, "changed each time it was read");
        break;
    }
}

// The detail of a rewrite that did not put the new content in place.
const char *rewriteDetail(PlatRewrite result) {
    switch (result) {
    case PLAT_REWRITE_MOVED:
        return "the path leads to another file now; nothing was written";
    case PLAT_REWRITE_REFUSED:
        return "the file can neither be replaced nor written";
    case PLAT_REWRITE_FAILED:
        return "the new content could not be written whole; the file is unchanged";
    case PLAT_REWRITE_PARTIAL:
        return "written in part; the next open finishes the write from its copy beside the file";
    case PLAT_REWRITE_REPLACED:
    case PLAT_REWRITE_IN_PLACE:
        break;
    }
    return nullptr;
}

// The status of a rewrite that did not put the new content in place.
uint32_t rewriteStatus(PlatRewrite result) {
    switch (result) {
    case PLAT_REWRITE_REPLACED:
    case PLAT_REWRITE_IN_PLACE:
        return 0;
    case PLAT_REWRITE_MOVED:   // the path leads to another file now
    case PLAT_REWRITE_REFUSED: // cannot be replaced or written
        return PROFILE_STATUS_NOT_AUTHORIZED;
    case PLAT_REWRITE_FAILED:
    case PLAT_REWRITE_PARTIAL:
        break;
    }
    return PROFILE_STATUS_WRITE_FAILED;
}

// Closes the record's stream, if any: its buffer is part of the record.
void closeStream(ProfileFile *file) {
    if (file->stream != nullptr) std::fclose(file->stream);
    file->stream = nullptr;
}

// Writes the file's new content and puts it in place.  Returns 0 (the file
// is released and the handle cleared), or a status, recorded once, with the
// file still the caller's, locked, without a stream:
//  3  no file for the new content can be made; the stored file cannot be
//     replaced or written; or its path no longer leads to the file that
//     was opened (nothing is written then);
//  5  the new content cannot be written or flushed whole, or there is no
//     room for it (the stored file is unchanged), or the in-place write
//     failed part way (the whole new content is kept beside the stored
//     file when it was prepared there);
//  any status of the save, such as a caller's encodeLine status.
uint32_t rewrite(ErrCollector *collector, ProfileFile **handle, uint32_t saveFlags, uint64_t user) {
    ProfileFile *file = *handle;
    closeStream(file); // the read stream; the lock stays with file->update
    FILE *out = nullptr;
    if (platRewriteBegin(file->update, &out) != 0)
        return profileFail(collector, PROFILE_STATUS_NOT_AUTHORIZED);

    // The read stream is closed, so its buffer in the record serves the
    // new content until platRewriteFinish closes it.
    std::setvbuf(out, file->streamBuffer, _IOFBF, sizeof file->streamBuffer);
    file->stream = out;
    file->user = user;
    uint32_t status = profileSave(collector, file, saveFlags); // recorded by the save
    file->stream = nullptr;
    if (status != 0) {
        platRewriteAbandon(file->update, out);
        return status;
    }
    PlatRewrite result = platRewriteFinish(file->update, out);
    status = rewriteStatus(result);
    if (status != 0) {
        profileSetDetail(file->contextIndex, "%s", rewriteDetail(result));
        return profileFail(collector, status);
    }
    profileDiscardFile(handle);
    return 0;
}

} // namespace

uint32_t profileDiscardFile(ProfileFile **handle) {
    if (handle == nullptr || *handle == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    ProfileFile *file = *handle;
    closeStream(file);
    platCloseUpdate(file->update); // releases the update lock
    file->update = nullptr;
    uint32_t status = profileFreeFile(profileContextCollector(file->contextIndex), file);
    *handle = nullptr;
    return status;
}

uint32_t profileOpenFile(int32_t contextIndex, const char *path, uint32_t openMode,
                         ProfileFile **out, uint32_t openFlags, uint64_t user) {
    if (out != nullptr) *out = nullptr;
    ErrCollector *collector = profileContextCollector(contextIndex);
    if (collector == nullptr) return PROFILE_STATUS_BAD_LIB;
    profileSetDetail(contextIndex, nullptr);
    if (path == nullptr || out == nullptr || openMode > PROFILE_OPEN_WRITE)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    // A longer path would be loaded from one file and, cut to the field,
    // rewritten into another.
    size_t length = QDMboundedLength(path, PROFILE_PATH_SIZE);
    if (length >= PROFILE_PATH_SIZE) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);

    ProfileFile *file = nullptr;
    uint32_t status = profileNewFile(collector, &file); // recorded by profileNewFile
    if (status != 0) return status;
    file->contextIndex = contextIndex;
    std::memcpy(file->path, path, length + 1);
    file->openMode = openMode;
    file->openFlags = openFlags;
    file->user = user;

    const bool ownStream = profileContexts[contextIndex].ioMode != PROFILE_IO_CALLER;
    if (ownStream) {
        PlatOpenReason reason{};
        if (openMode == PROFILE_OPEN_READ) {
            // One whole version of the file, never a wait (platform/read_file.h).
            PlatReadOpen opened = platOpenForReading(path, &file->stream, &reason);
            status = opened == PLAT_READ_OPENED ? 0 : readOpenStatus(opened);
        } else {
            // "w" (open mode 2) empties the file once it holds the lock.
            PlatUpdateMode mode = openMode == PROFILE_OPEN_WRITE ? PLAT_UPDATE_EMPTY
                                  : (openFlags & PROFILE_OPEN_FLAG_CREATE) != 0
                                      ? PLAT_UPDATE_CREATE
                                      : PLAT_UPDATE_EXISTING;
            PlatUpdateOpen opened = platOpenForUpdate(path, mode, PLAT_UPDATE_LOCK_WAIT_MS,
                                                      &file->update, &file->stream, &reason);
            status = opened == PLAT_UPDATE_OPENED ? 0 : updateOpenStatus(opened);
        }
        if (status != 0) {
            setReasonDetail(contextIndex, reason);
            profileDiscardFile(&file);
            return profileFail(collector, status);
        }
        // The loader reads the stream in blocks into the record's buffer.
        std::setvbuf(file->stream, nullptr, _IONBF, 0);
    }
    status = profileLoad(collector, file); // recorded by the load
    // A read-only open reads no more: in-place writes may go on.
    if (ownStream && openMode == PROFILE_OPEN_READ) platEndRead(file->stream);
    if (status != 0) {
        profileDiscardFile(&file);
        return status;
    }
    *out = file;
    return 0;
}

uint32_t profileCloseFile(ProfileFile **handle, uint32_t saveFlags, uint64_t user) {
    if (handle == nullptr || *handle == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    ProfileFile *file = *handle;
    ErrCollector *collector = profileContextCollector(file->contextIndex);
    if (collector == nullptr) return PROFILE_STATUS_BAD_LIB;
    profileSetDetail(file->contextIndex, nullptr);

    if (profileContexts[file->contextIndex].ioMode != PROFILE_IO_CALLER) {
        if (file->openMode != PROFILE_OPEN_READ) return rewrite(collector, handle, saveFlags, user);
        profileDiscardFile(handle);
        return 0;
    }
    // Caller-supplied line functions: every close saves, whatever the mode.
    file->user = user;
    uint32_t status = profileSave(collector, file, saveFlags); // recorded by the save
    if (status != 0) return status;
    profileDiscardFile(handle);
    return 0;
}
