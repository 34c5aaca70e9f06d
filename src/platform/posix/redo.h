// Redo copies: what makes the in-place write survive a crash.
//
// Before the first byte of a file changes in place, the whole new content
// is made durable beside it: a header (the file's device and inode, the
// content's length and checksum) and the content, in a file created fresh
// (O_EXCL, mode 0600) under a temporary name, flushed, then given the name
// NAME.~redo.DEVICE.INODE (hexadecimal) without ever replacing a name that
// exists, and the folder flushed.  When the write in place is done and
// flushed, the copy is removed.
//
// Whoever opens the file next finds the copy while the file may be torn:
// an update open writes it in place and removes it (rolls it forward)
// before loading; a read-only open reads the copy instead of the file.  The
// copy is readable by whoever may read the file (its mode is the file's,
// without write permission for others than its owner; group read only when
// it has the file's group).  A copy is trusted only when it is a regular
// file that could only have been made by someone who may write the file
// anyway: owned by the caller, by root or by the file's owner, or having
// the file's group when the file is group-writable and the folder is not
// writable by everyone; and its header names this very file, and its
// length and checksum match.  A look-alike that another user planted is
// never read and never written into the file.
#pragma once

#include "platform/redo_format.h"
#include "platform/temp_name.h"

#include <climits>
#include <sys/types.h>

// Creates name in folder exclusively, with mode 0600 whatever the umask
// (nobody else may open it before it has the stored file's permissions),
// never through a link: a PlatCreateFn whose context is a PlatCreateAt.
struct PlatCreateAt {
    int folder;
    int fd; // the created file, read-write
};
PlatCreateTry platCreatePrivateAt(const char *name, void *context);

// The header's size in bytes; the content follows it.
constexpr off_t PLAT_REDO_HEADER_SIZE = PLAT_REDO_HEADER_BYTES;

// What a redo copy redoes: the file (device and inode), its owner, group
// and mode, and its name in folder.
struct PlatRedoTarget {
    int folder;
    const char *name;
    dev_t device;
    ino_t inode;
    uid_t owner;
    gid_t group;
    mode_t mode;
};

// The redo copy's name for the target; false when it does not fit in a name
// (the copy then stays under its temporary name, where only update opens
// look).
bool platRedoName(const PlatRedoTarget &target, char (&name)[NAME_MAX + 1]);

// Makes the redo copy of the size bytes of source (read from its start):
// returns a descriptor of it (for reading, at no particular offset) and
// writes the name it now has into name; -1 when none could be made (nothing
// is left then).
int platWriteRedo(const PlatRedoTarget &target, int source, off_t size, char (&name)[NAME_MAX + 1]);

// Opens the named file in target.folder when it is a trusted, complete redo
// copy of target: its descriptor, with *size the content's length (which
// starts at PLAT_REDO_HEADER_SIZE); else -1.
int platOpenRedo(const PlatRedoTarget &target, const char *name, off_t *size);

// Writes size bytes of source, from offset from, over fd from its start,
// cuts fd to size and flushes it, and leaves it with a modification time
// other than the one it had (readers compare it before and after a read).
// 0, or -1 when any step failed (fd may then be partly written).  The new size is reserved first
// where the file system can, so that a full disk fails before a byte changes (-2 then: fd
// unchanged).
int platCopyInPlace(int source, off_t from, off_t size, int fd);

// Flushes a folder's names to stable storage (best effort: a folder open
// only as O_PATH cannot be flushed).
void platSyncFolder(int folder);
