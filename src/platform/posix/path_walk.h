// Resolving a path one part at a time, the way the kernel would, but with
// every symbolic link met in the open's own hands: each part is opened with
// O_PATH | O_NOFOLLOW relative to the folder before it, a link is read
// through its own descriptor (never by name again) and spliced in front of
// the rest, and at most PLAT_WALK_MAX_LINKS links are followed.  No path is
// ever resolved by realpath or by a plain open, so what the walk checked is
// what the open gets.
#pragma once

#include "platform/open_reason.h"

#include <climits>

// As many links as the kernel follows in one path.
constexpr int PLAT_WALK_MAX_LINKS = 40;

enum PlatWalkRule {
    // Follow every link, as any reader does.
    PLAT_WALK_READ,
    // Follow a link only when it belongs to the caller (the effective user)
    // or to root: a link that another user owns could point a privileged
    // caller anywhere, even in that user's own folder.
    PLAT_WALK_UPDATE,
};

struct PlatWalk {
    int folder;              // the folder holding the last part (O_PATH); the caller's
    int target;              // the last part itself (O_PATH, never a link), or -1 when
                             // no such name exists (yet)
    char name[NAME_MAX + 1]; // the last part's name in folder
};

// Walks path from the current folder (or from / when it starts with a
// slash).  0: *walk holds the folder and, when it exists, the last part.
// -1: nothing is held, and reason says why: a system error of a part
// (ENOENT, EACCES, ENOTDIR, ENAMETOOLONG), an untrusted link (its path as
// the walk reached it), too many links, or a path whose last part is a
// folder ("." or "..", or a trailing slash).
int platWalkPath(const char *path, PlatWalkRule rule, PlatWalk *walk, PlatOpenReason *reason);

// Opens the file that an O_PATH descriptor holds, with flags (O_RDONLY or
// O_RDWR, O_CLOEXEC and O_NOCTTY added), by way of /proc/self/fd: the same
// inode, with no name looked up again.  Where /proc is missing, the name is
// opened again in folder, with O_NOFOLLOW | O_NONBLOCK, and kept only when
// it is still the same inode.  The caller has checked that target is a
// regular file.  -1 with errno on failure.
int platReopen(int target, int folder, const char *name, int flags);

// What a file that is not a regular file is, for reasons: "folder",
// "FIFO", "device", "socket", "symbolic link" or "special file".
const char *platKindOf(unsigned mode);
