// The primitives that each platform supplies to the rewrite
// (platform/rewrite.cpp holds the one policy over them: which path a save
// takes, in which order, and what is left behind).  posix/replace.cpp and
// win32/replace.cpp implement them; nothing else calls them.
#pragma once

#include "platform/replace.h"
#include "platform/update_file.h"

#include <cstdio>

// The stream of the rewrite in progress, or null; and setting it.
FILE *platRewriteStream(const PlatUpdateFile *file);
void platSetRewriteStream(PlatUpdateFile *file, FILE *stream);

// False when the file can take no rewrite any more (Windows: the lock was
// given up for a replace that then could not take it back).
bool platCanRewrite(const PlatUpdateFile *file);

// A new, empty file beside the stored one, under a fresh temporary name
// (platform/temp_name.h) remembered in the record, that nobody else may
// open before it has the stored file's permissions: its stream (binary,
// read-write), or null when none can be made there (nothing is left).
FILE *platCreateBeside(PlatUpdateFile *file);

// A scratch file elsewhere (the system's temporary folder), gone once
// closed: its stream, or null.
FILE *platCreateScratch();

// True when the rewrite's content is in a file beside the stored one.
bool platHasBeside(const PlatUpdateFile *file);

// Flushes the written stream's file to stable storage (after fflush).
bool platSyncToDisk(FILE *out);

// True when name in its folder is, right now, the opened file itself (not
// a link to it, not another file).
bool platStillNamesFile(const PlatUpdateFile *file);

// Gives the file beside what the stored file is (owner, group, attributes,
// mode or access list).  False when it cannot, or when a replace would
// change what the file is (a second hard link): the save then goes in
// place.
bool platKeepIdentity(const PlatUpdateFile *file, FILE *out);

enum PlatNameSwap {
    PLAT_SWAP_DONE,     // the name now holds the new file
    PLAT_SWAP_MOVED,    // the name no longer leads to the opened file: nothing done
    PLAT_SWAP_REFUSED,  // refused, and writing in place cannot stand in for it
    PLAT_SWAP_IN_PLACE, // refused in a way that writing in place stands in for
};

// Puts the file beside in place of the stored file's name in one step,
// never following a link there.
PlatNameSwap platReplaceName(PlatUpdateFile *file);

// Writes the new content (*out, rewound by the callee) over the stored file
// through the handle opened at open: PLAT_REWRITE_IN_PLACE, _FAILED (the
// file unchanged), _REFUSED or _PARTIAL.  beside: the content is in the
// file beside.  May close *out (and set it null) to keep that file.
PlatRewrite platWriteInPlace(PlatUpdateFile *file, FILE **out, bool beside);

// Ends the rewrite: closes out (when not null), removes the file beside if
// one is still there, and clears the rewrite stream.
void platEndRewrite(PlatUpdateFile *file, FILE *out);

// Leftovers beside the file (platform/rewrite.cpp, platSweepBeside, holds
// what is done with them).  Calls each(file, name, context) for every
// regular file in the file's folder under a temporary name of the file
// (platform/temp_name.h), until each returns false.
using PlatLeftoverFn = bool (*)(const PlatUpdateFile *file, const char *name, void *context);
void platEachLeftover(const PlatUpdateFile *file, PlatLeftoverFn each, void *context);

// Finishes an in-place write that a crash interrupted, when name (null: the
// file's own redo name) is its trusted redo copy: writes it in place and
// removes it.  0 when there was none or it is done; -1 with errno when the
// file could not be written (the copy stays).
int platFinishInterrupted(const PlatUpdateFile *file, const char *name);

// Removes the leftover of that name beside the file.
void platRemoveLeftover(const PlatUpdateFile *file, const char *name);

// The sweep of an update open, with the lock held and no rewrite under
// way: finishes any interrupted in-place write of the file (from its redo
// copy, under its redo name or still under a temporary one), then removes
// every other leftover.  -1 with errno when an interrupted write could not
// be finished.
int platSweepBeside(const PlatUpdateFile *file);
