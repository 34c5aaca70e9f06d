// The rewrite of a file opened for update (platform/update_file.h).
//
// A save takes one of two paths, and never writes anything but the file
// that was opened:
//
// Atomic (the usual one): the new content goes to a temporary file beside
// the stored one (created with mode 0600, named after it, see
// platform/temp_name.h), is flushed to stable storage, is given the stored
// file's owner, group, extended attributes (which carry ACLs) and mode (on
// Windows its security descriptor and attributes), and replaces the stored
// file's name in one step.  A reader, or a crash at any moment, sees the
// whole old file or the whole new one.
//
// In place, where the atomic path would change what the file is or cannot
// be taken: a file with more than one hard link, an owner or attribute that
// cannot be given to a new file, a folder that cannot take a new file, a
// temporary name too long for the folder, or a replace that the system
// refuses (a mount point, another file system, a read-only or locked name).
// The whole new content is prepared first (in the temporary file beside, or
// else in a scratch file in the system's temporary folder), the new size is
// reserved so that a full disk fails before a byte changes, and then the
// content is written over the stored file through the handle opened at
// open, cut to length and flushed.  On POSIX systems, when it was prepared
// beside the file, a durable redo copy of it is made first
// (platform/posix/redo.h): a crash or a failure during the write leaves
// that copy, which the next open reads or finishes; without a folder that
// takes new files a crash can leave the file partly written.
//
// Before either path writes anything, the stored file's name must still
// lead to the file that was opened, without following any link that the
// open did not follow; otherwise nothing is written.
#pragma once

#include "platform/update_file.h"

#include <cstdio>

enum PlatRewrite {
    PLAT_REWRITE_REPLACED, // the atomic path: the stored name now holds the new file
    PLAT_REWRITE_IN_PLACE, // written over the stored file in place
    PLAT_REWRITE_MOVED,    // the path no longer names the opened file: nothing written
    PLAT_REWRITE_REFUSED,  // the stored file cannot be replaced or written: unchanged
    PLAT_REWRITE_FAILED,   // the new content could not be written whole, or no
                           // room was left for it: the stored file is unchanged
    PLAT_REWRITE_PARTIAL,  // the in-place write failed part way: the stored file may
                           // be partly written; the whole new content is kept
                           // beside it when it was there (its redo copy, which
                           // the next open finishes)
};

// Starts a rewrite: *out receives a new, empty stream (binary, opened for
// writing) for the new content.  Returns 0, or -1 (nothing is left, *out is
// null) when neither a temporary file beside the stored one nor a scratch
// file can be made.  The caller ends with platRewriteFinish or
// platRewriteAbandon, which both close *out.
int platRewriteBegin(PlatUpdateFile *file, FILE **out);

// Flushes the new content to stable storage and puts it in place, by one of
// the paths above.  Closes out in every case.  On every result but
// PLAT_REWRITE_PARTIAL no temporary file is left.  (A test may end the
// process at each step of the in-place path: PLAT_FAULT_CRASH.)  The file stays open and
// locked: a failed rewrite may be begun again, and platCloseUpdate ends it.
PlatRewrite platRewriteFinish(PlatUpdateFile *file, FILE *out);

// Closes out and removes the temporary file; the stored file is untouched.
void platRewriteAbandon(PlatUpdateFile *file, FILE *out);
