// Opening a profile file (and loading it) and closing it (and rewriting it).
//
// In I/O mode 0 the rewrite at close never touches the stored file until the
// new content is whole and on disk: it goes to a temporary file beside the
// stored one, is flushed, and then replaces the stored file in one step
// (platform/replace.h).  A failed close removes the temporary file, leaves
// the stored file exactly as it was, and leaves the ProfileFile with the
// caller, who may close it again to retry.
#include "diag/fopen_utf8.h"
#include "diag/safecopy.h"
#include "platform/replace.h"
#include "profile/limits.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The stream mode of each open mode: "w" empties the file at once.  Binary,
// so that a reader on Windows neither stops at a 0x1A byte (text mode takes
// it for the end of the file, and the rewrite would then drop the rest) nor
// alters line ends; a carriage return before a line feed is whitespace to
// the parser and is skipped by the built-in line decoding.
constexpr const char *OPEN_MODE_TEXT[] = {"rb", "r+b", "wb"};

// Writes the file to a temporary file beside it and puts that in its place.
// Returns 0 (the file is freed and the handle cleared), or a recorded status
// with the file still the caller's, without a stream:
//  3  the temporary file cannot be created, or the stored file cannot be
//     replaced (it is unchanged);
//  5  the new content cannot be written or flushed whole (the stored file
//     is unchanged), or, on Windows only, the in-place copy that stands in
//     for a replace blocked by another holder failed part way: the
//     temporary file is then kept beside the stored file, as the only whole
//     copy of the new content;
//  any status of the save, such as a caller's encodeLine status.
uint32_t rewrite(ErrCollector *collector, ProfileFile **handle, uint32_t saveFlags, uint64_t user) {
    ProfileFile *file = *handle;
    // Our own read stream must go first: on Windows it would block the
    // replace.
    if (file->stream != nullptr) {
        std::fclose(file->stream);
        file->stream = nullptr;
    }
    char temp[PROFILE_PATH_SIZE + PLAT_TEMP_SUFFIX_LEN];
    FILE *out = nullptr;
    if (platCreateTempBeside(file->path, temp, sizeof temp, &out) != 0)
        return profileFail(collector, PROFILE_STATUS_NOT_AUTHORIZED);

    // The read stream is closed, so its buffer in the record serves the
    // new file until it is closed below.
    std::setvbuf(out, file->streamBuffer, _IOFBF, sizeof file->streamBuffer);
    file->stream = out;
    file->user = user;
    uint32_t status = profileSave(collector, file, saveFlags);
    if (status == 0 && platSyncFile(out) != 0)
        status = profileFail(collector, PROFILE_STATUS_WRITE_FAILED);
    file->stream = nullptr;
    if (std::fclose(out) != 0 && status == 0)
        status = profileFail(collector, PROFILE_STATUS_WRITE_FAILED);
    if (status != 0) {
        platRemoveFile(temp);
        return profileFail(collector, status);
    }

    switch (platReplaceFile(temp, file->path)) {
    case PLAT_REPLACE_DONE:
        break;
    case PLAT_REPLACE_COPIED:
        platRemoveFile(temp);
        break;
    case PLAT_REPLACE_UNCHANGED:
        platRemoveFile(temp);
        return profileFail(collector, PROFILE_STATUS_NOT_AUTHORIZED);
    case PLAT_REPLACE_PARTIAL:
        return profileFail(collector, PROFILE_STATUS_WRITE_FAILED);
    }
    profileFreeFile(collector, file);
    *handle = nullptr;
    return 0;
}

} // namespace

uint32_t profileOpenFile(int32_t contextIndex, const char *path, uint32_t openMode,
                         ProfileFile **out, uint32_t openFlags, uint64_t user) {
    if (out != nullptr) *out = nullptr;
    ErrCollector *collector = profileContextCollector(contextIndex);
    if (collector == nullptr) return PROFILE_STATUS_BAD_LIB;
    if (path == nullptr || out == nullptr || openMode > PROFILE_OPEN_WRITE)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    // A longer path would be loaded from one file and, cut to the field,
    // rewritten into another.
    size_t length = QDMboundedLength(path, PROFILE_PATH_SIZE);
    if (length >= PROFILE_PATH_SIZE) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);

    ProfileFile *file = nullptr;
    uint32_t status = profileNewFile(collector, &file);
    if (status != 0) return status;
    file->contextIndex = contextIndex;
    std::memcpy(file->path, path, length + 1);
    file->openMode = openMode;
    file->openFlags = openFlags;
    file->user = user;

    if (profileContexts[contextIndex].ioMode != PROFILE_IO_CALLER) {
        file->stream = QDMfopenUtf8(path, OPEN_MODE_TEXT[openMode]);
        if (file->stream == nullptr) {
            profileFreeFile(collector, file);
            return profileFail(collector, PROFILE_STATUS_FILE_NOT_FOUND);
        }
        // The loader reads the stream in blocks into the record's buffer.
        std::setvbuf(file->stream, nullptr, _IONBF, 0);
    }
    status = profileLoad(collector, file);
    if (status != 0) {
        // The stream first: its buffer is part of the record.
        if (file->stream != nullptr) std::fclose(file->stream);
        file->stream = nullptr;
        profileFreeFile(collector, file);
        return profileFail(collector, status);
    }
    *out = file;
    return 0;
}

uint32_t profileCloseFile(ProfileFile **handle, uint32_t saveFlags, uint64_t user) {
    if (handle == nullptr || *handle == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    ProfileFile *file = *handle;
    ErrCollector *collector = profileContextCollector(file->contextIndex);
    if (collector == nullptr) return PROFILE_STATUS_BAD_LIB;

    if (profileContexts[file->contextIndex].ioMode != PROFILE_IO_CALLER) {
        if (file->openMode != PROFILE_OPEN_READ) return rewrite(collector, handle, saveFlags, user);
        if (file->stream != nullptr) std::fclose(file->stream);
        file->stream = nullptr;
        profileFreeFile(collector, file);
        *handle = nullptr;
        return 0;
    }
    // Caller-supplied line functions: every close saves, whatever the mode.
    file->user = user;
    uint32_t status = profileSave(collector, file, saveFlags);
    if (status != 0) return profileFail(collector, status);
    profileFreeFile(collector, file);
    *handle = nullptr;
    return 0;
}
