// A file opened for update: read, then rewritten at close, by one writer at
// a time, and bound to the very file that was opened.
//
// The open takes the file by its path (following symbolic links, as any
// open does), refuses anything that is not a regular file (a device, FIFO,
// socket or folder is never opened for writing), takes an exclusive
// advisory lock on it for as long as it stays open, and remembers what it
// is (device and inode; volume and file ID on Windows) and where it lies
// (the folder that holds it and its name there, after resolving links).
// The rewrite (platform/replace.h) then writes only that file: if the path
// names another file by then, nothing is written.
//
// The lock is advisory: it serialises the updates of every process that
// opens files this way (read-only opens take no lock, since a rewrite
// replaces the file in one step or, in place, under the lock).  Paths are
// 8-bit UTF-8 text.
#pragma once

#include <cstdio>

struct PlatUpdateFile; // per platform; owned by the opener until platCloseUpdate

// How long an update open waits for another updater of the same file.
constexpr unsigned PLAT_UPDATE_LOCK_WAIT_MS = 15000;

enum PlatUpdateOpen {
    PLAT_UPDATE_OPENED,
    PLAT_UPDATE_MISSING,     // the file cannot be opened for reading and writing
    PLAT_UPDATE_NOT_REGULAR, // a device, FIFO, socket or folder: left as it was
    PLAT_UPDATE_BUSY,        // another updater held it for the whole wait
    PLAT_UPDATE_UNTRUSTED,   // a symbolic link that someone else planted (see below)
};

// Opens path for update.  empty: create the file when it is missing and
// empty it (under the lock).  Waits at most waitMs for the lock; after
// taking it, checks that the path still names the locked file (a rename may
// have replaced it meanwhile) and starts again if not.  With the lock held,
// removes the temporary files beside the file that a killed rewrite left.
//
// A symbolic link as the last part of the path is followed only when it
// belongs to the caller or to the owner of the folder holding it (so a user
// who can only add names to a shared folder cannot point another user's
// update at a file of their choice).
//
// On PLAT_UPDATE_OPENED, *file holds the lock and *stream reads the file
// from its start (binary); the caller owns both: the stream is closed with
// fclose whenever the caller likes, the file with platCloseUpdate.  On any
// other result nothing is held, *file and *stream are null, and nothing was
// changed on disk (except that a missing file with empty set may remain).
PlatUpdateOpen platOpenForUpdate(const char *path, bool empty, unsigned waitMs,
                                 PlatUpdateFile **file, FILE **stream);

// Releases the lock, closes the file and frees the record (null: nothing).
// A rewrite begun and not finished is abandoned first.
void platCloseUpdate(PlatUpdateFile *file);
