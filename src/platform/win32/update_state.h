// The Windows record of a file opened for update, shared by update_file.cpp
// (open, lock, close) and replace.cpp (the rewrite).
#pragma once

#include <cstdio>
#include <windows.h>

struct PlatUpdateFile {
    HANDLE handle;   // the file opened at open; holds the lock
    DWORD volume;    // what the file is: volume serial number and file ID
    DWORD indexHigh; //
    DWORD indexLow;  //
    wchar_t *path;   // the file's own path (links resolved, "\\?\" form); owned
    FILE *rewrite;   // the stream of a rewrite in progress, or null
    // The temporary file beside it of that rewrite (owned), or null when the
    // new content goes to a scratch file instead.
    wchar_t *temp;
};

// True when path is, right now, the opened file itself, reached without
// following a link.
bool platStillNamesFile(const PlatUpdateFile *file);

// A wide text made of a and b, from the heap (std::free); null on failure.
wchar_t *platJoinWide(const wchar_t *a, const wchar_t *b);
