// A file opened to be read only: never a wait, never a torn file.
//
// The open follows links as any reader does (bounded, 40), but never waits
// and never reads anything but a regular file: a FIFO, device, socket or
// folder is refused at once.  What it reads is one whole version of the
// file, even while an update writes it in place:
//  - when a crash interrupted an in-place write, the file may be torn: its
//    redo copy (the whole new content, platform/posix/redo.h) is read
//    instead;
//  - when no updater holds the file or waits for it, the reader takes a
//    shared lock on it for as long as it reads (platEndRead releases it),
//    so no in-place write can start meanwhile (platform/posix/
//    updater_flag.h: readers that follow each other never keep an updater
//    waiting for long);
//  - when an updater holds it (and may write in place at any moment), the
//    file is copied into a scratch file, and the copy kept only when the
//    file did not change during it (size and times; every in-place write
//    leaves another modification time) and no redo copy appeared; else it
//    is read again (a few times, then PLAT_READ_CHANGING).
// Windows: devices, pipes and folders are refused; the rest is read as it
// is (see README, "What a save promises").
#pragma once

#include "platform/open_reason.h"

#include <cstdio>

enum PlatReadOpen {
    PLAT_READ_OPENED,
    PLAT_READ_MISSING,     // no such file, or it cannot be read
    PLAT_READ_NOT_REGULAR, // a FIFO, device, socket or folder: left alone
    PLAT_READ_CHANGING,    // it kept changing while it was read
};

// Opens path to be read.  On PLAT_READ_OPENED *stream reads one whole
// version of the file from its start (binary); the caller closes it with
// fclose, after platEndRead.  Otherwise *stream is null and reason (when not
// null) says why.
PlatReadOpen platOpenForReading(const char *path, FILE **stream, PlatOpenReason *reason);

// Ends the shared lock that the open may have taken (the stream stays
// readable).  Call it as soon as the stream has been read; fclose ends it
// too.
void platEndRead(FILE *stream);
