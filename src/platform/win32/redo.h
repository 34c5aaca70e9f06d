// Redo copies on Windows: what makes the in-place write survive a crash
// (the format is platform/redo_format.h's).
//
// Before the first byte of a file changes in place, the whole new content
// is made durable beside it: a header (the file's volume serial number and
// file ID, the content's length and checksum) and the content, in a file
// created fresh (CREATE_NEW) under a temporary name with the stored file's
// access list, flushed (FlushFileBuffers), then given the name
// NAME.~redo.VOLUME.FILEID (hexadecimal) by MoveFileExW without
// MOVEFILE_REPLACE_EXISTING, written through.  When the write in place is
// done and flushed, the copy is removed.
//
// Whoever opens the file next finds the copy while the file may be torn:
// an update open writes it in place and removes it (rolls it forward)
// before loading; a read-only open reads the copy instead of the file.  A
// copy is trusted only when it is a plain file (no folder, no reparse
// point) owned by the caller or by the file's owner (or on a file system
// that keeps no owners, where anyone who may create it may write the file
// too), and its header names this very file, and its length and checksum
// match.  A look-alike that another user planted is never read and never
// written into the file.
#pragma once

#include "platform/temp_name.h"

#include <cstdint>
#include <windows.h>

// Creates name (UTF-8, a full path) exclusively (CREATE_NEW), never through
// a link, with the given attributes and security: a PlatCreateFn whose
// context is a PlatCreateNew.
struct PlatCreateNew {
    DWORD attributes;
    SECURITY_ATTRIBUTES *security; // or null
    wchar_t *path;                 // the created file's path, from the heap
    HANDLE handle;                 // read-write
};
PlatCreateTry platCreateNewFile(const char *name, void *context);

// What a redo copy redoes: the file's handle, its path and its identity.
struct PlatRedoTarget {
    HANDLE file;
    const wchar_t *path;
    DWORD volume;
    uint64_t fileId;
};

// The redo copy's path for the target, from the heap (std::free); null when
// it cannot be made.
wchar_t *platRedoPath(const PlatRedoTarget &target);

// Makes the redo copy of the size bytes of source: returns its handle (for
// reading) and sets *path to the path it now has (from the heap); an
// invalid handle when none could be made (nothing is left then).
HANDLE platWriteRedo(const PlatRedoTarget &target, HANDLE source, int64_t size, wchar_t **path);

// Opens the copy at path when it is a trusted, complete redo copy of
// target: its handle, with *size the content's length (which starts at
// PLAT_REDO_HEADER_BYTES); else an invalid handle.
HANDLE platOpenRedo(const PlatRedoTarget &target, const wchar_t *path, int64_t *size);

// The in-place writes' lock: one byte far past the end of the file (beside
// the updaters' lock byte), which an in-place write holds exclusively from
// its first changed byte to its flush, and a reader shares while it reads
// the file, so that a reader sees the file either before or after a write,
// whole.  Waits up to waitMs; true when held, or when the file system keeps
// no locks.
bool platLockWrites(HANDLE h, bool exclusive, DWORD waitMs);
void platUnlockWrites(HANDLE h);

// Writes size bytes of source, from offset from, over dst from its start,
// cuts dst to size and flushes it, holding the in-place writes' lock.  0,
// or -1 when a step failed after a byte may have changed; -2 when the lock
// could not be had or the new size reserved (dst unchanged).
int platCopyInPlace(HANDLE source, int64_t from, int64_t size, HANDLE dst);
