// A file opened for update: read, then rewritten at close, by one writer at
// a time, and bound to the very file that was opened.
//
// The open walks the path one part at a time (platform/posix/path_walk.h on
// POSIX systems) and follows a symbolic link, wherever it lies in the path,
// only when it belongs to the caller or to root: a link that another user
// owns could point a privileged caller at any file, so such a path must be
// given resolved.  It opens the last part without a window in which the
// name could be swapped: never a device, FIFO, socket or folder, not even
// for an instant (on POSIX the name is opened as O_PATH, checked, and that
// same inode reopened; a file to be created is created with O_EXCL).  It
// takes an exclusive advisory lock on the file for as long as it stays open
// and remembers what the file is (device and inode; volume and file ID on
// Windows) and where it lies (the folder that holds it and its name there).
// The rewrite (platform/replace.h) then writes only that file: if the name
// leads to another file by then, nothing is written.
//
// The lock is the file's own (flock; LockFileEx on Windows): it serialises
// the updates of every process that opens files this way, whatever name or
// folder each reached the file by and whether or not it may write the
// folder.  A reader that holds a shared lock on the file delays updates,
// 15 s at most each.  Read-only opens (platform/read_file.h) take a shared
// lock only while they load, and only when no updater holds the file.
// Paths are 8-bit UTF-8 text.
#pragma once

#include "platform/open_reason.h"

#include <cstdio>

struct PlatUpdateFile; // per platform; owned by the opener until platCloseUpdate

// How long an update open waits for another updater of the same file.
constexpr unsigned PLAT_UPDATE_LOCK_WAIT_MS = 15000;

enum PlatUpdateOpen {
    PLAT_UPDATE_OPENED,
    PLAT_UPDATE_MISSING,     // the file cannot be opened for reading and writing
    PLAT_UPDATE_NOT_REGULAR, // a device, FIFO, socket or folder: left as it was
    PLAT_UPDATE_BUSY,        // another updater held it for the whole wait
    PLAT_UPDATE_UNTRUSTED,   // a symbolic link that another user owns (see above)
};

// What an update open does with a missing or a present file.
enum PlatUpdateMode {
    PLAT_UPDATE_EXISTING, // a missing file is PLAT_UPDATE_MISSING
    PLAT_UPDATE_CREATE,   // a missing file is created, a present one kept as it is
    PLAT_UPDATE_EMPTY,    // a missing file is created, a present one emptied
};

// Opens path for update, as mode says.  A missing file is created
// exclusively, in the same step that finds it missing: a file that another
// process makes meanwhile is opened as found, never created over (and
// emptied only under PLAT_UPDATE_EMPTY, under the lock).  Waits at most waitMs for the lock; after
// taking it, checks that the name still is the locked file (a rename may
// have replaced it meanwhile) and starts again if not.  With the lock held,
// finishes an in-place write that a crash interrupted (its redo copy is
// written in place and removed; platform/posix/redo.h) and removes the
// temporary files that killed rewrites left beside the file.
//
// On PLAT_UPDATE_OPENED, *file holds the lock and *stream reads the file
// from its start (binary); the caller owns both: the stream is closed with
// fclose, before or after platCloseUpdate (the lock is released by
// platCloseUpdate itself, whatever the stream does).  On any other result
// nothing is held, *file and *stream are null, reason (when not null) says
// why, and nothing was changed on disk (except that a missing file with
// a mode that creates may remain).
PlatUpdateOpen platOpenForUpdate(const char *path, PlatUpdateMode mode, unsigned waitMs,
                                 PlatUpdateFile **file, FILE **stream, PlatOpenReason *reason);

// Releases the lock (explicitly: a read stream still open does not keep
// it), closes the file and frees the record (null: nothing).  A rewrite
// begun and not finished is abandoned first.
void platCloseUpdate(PlatUpdateFile *file);
