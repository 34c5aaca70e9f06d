// Crash-safe rewrite of a file.
//
// The new content is written to a temporary file in the same folder as the
// file it replaces, flushed to stable storage, and then put in the place of
// the stored file in one step, so that a reader (or a crash at any moment)
// sees either the whole old file or the whole new one.  Paths are 8-bit
// UTF-8 text.
//
// On POSIX systems a target that is a symbolic link is followed: the file it
// leads to is replaced and the link stays a link.  Hard links to the target
// keep the old content (a replace gives the name a new file).
//
// The temporary file is named after its target: the target's path followed
// by ".~" and eight hexadecimal digits.  Such a file left behind was written
// by a rewrite that a crash interrupted before its replace.
#pragma once

#include <cstddef>
#include <cstdio>

// Characters that platCreateTempBeside adds to the target's path.
constexpr size_t PLAT_TEMP_SUFFIX_LEN = 10;

// Creates a new, empty file beside target (exclusive create under a fresh
// name) and opens it for binary writing.  Where the target exists, the new
// file takes its permission bits (POSIX) or its hidden and system attributes
// (Windows), so that the replace keeps them.  On success writes the temporary
// file's path into tempPath (size bytes) and its stream into *stream and
// returns 0; the caller owns both and ends with platReplaceFile or with
// fclose and platRemoveFile.  Returns -1 on failure (no file is left, *stream
// is null): the folder is not writable, the name does not fit tempPath, or
// no free name was found.
int platCreateTempBeside(const char *target, char *tempPath, size_t size, FILE **stream);

// Pushes the stream's buffered data to the file and the file's data to
// stable storage.  Returns 0, or -1 when either step fails (the data may not
// be on disk).  The stream stays open.
int platSyncFile(FILE *stream);

enum PlatReplace {
    // The temporary file now is the target; nothing is left to remove.
    PLAT_REPLACE_DONE,
    // The target could not be replaced, but another holder let it be opened
    // for writing (Windows only), so the new content was copied over it in
    // place and flushed.  The temporary file is still there; remove it.
    PLAT_REPLACE_COPIED,
    // Nothing happened: the target is exactly as it was and the temporary
    // file is still there; remove it.
    PLAT_REPLACE_UNCHANGED,
    // The in-place copy failed part way (Windows only): the target may be
    // partly overwritten, and the temporary file, kept, is the only whole
    // copy of the new content.  Leave it in place.
    PLAT_REPLACE_PARTIAL,
};

// Puts the closed temporary file temp in the place of target in one step and
// makes the change durable.
//
// POSIX: rename, then a sync of the folder.  Once the rename has happened the
// result is PLAT_REPLACE_DONE even if the folder sync fails, since every
// reader already sees the new file.
//
// Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING|MOVEFILE_WRITE_THROUGH.
// A target that another handle holds without delete sharing (this library's
// own shared-access streams hold files that way, and virus scanners and
// indexers do for a moment) makes the move fail with a sharing violation or
// an access refusal.  Those are retried for about one second.  If the target
// is still held, and the holder shares write access, the new content is
// copied over the target in place: its new size is reserved first (so a full
// disk fails before any byte changes), then the bytes are written, the file
// is cut to the new length and flushed (PLAT_REPLACE_COPIED).  If the target
// cannot be opened for writing the result is PLAT_REPLACE_UNCHANGED; if the
// copy fails after it began, PLAT_REPLACE_PARTIAL.
PlatReplace platReplaceFile(const char *temp, const char *target);

// Removes a file.  Returns 0, or -1 when it could not be removed.
int platRemoveFile(const char *path);
