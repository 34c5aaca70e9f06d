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

// The guard of a file's lock hand-overs: a machine-wide mutex named after
// the file's own path, held only within one call.  Windows refuses to
// replace a file that any handle holds open, the locking one included, so
// the rewrite gives the lock up for the replace; every attempt to take the
// lock, with its check that the path still names the locked file, and that
// give-up, replace and (when the replace fails) take-back run under this
// guard, so no other updater can take the lock in between.
struct PlatHandOverGuard {
    HANDLE mutex = nullptr;
    bool held = false;
    PlatHandOverGuard() = default;
    PlatHandOverGuard(const PlatHandOverGuard &) = delete;
    PlatHandOverGuard &operator=(const PlatHandOverGuard &) = delete;
    ~PlatHandOverGuard() {
        if (held) ReleaseMutex(mutex);
        if (mutex != nullptr) CloseHandle(mutex);
    }
};

// Takes the guard of the file at path, waiting until deadline (a
// GetTickCount64 value); an owner that ended holding it hands it over.
// False when it cannot be had.
bool platTakeHandOverGuard(const wchar_t *path, ULONGLONG deadline, PlatHandOverGuard &guard);

// Closes the locking handle, which ends the lock (handle becomes invalid).
void platUnlockFile(PlatUpdateFile *file);

// Opens the file again by its path and takes the lock without waiting; the
// caller holds the guard.  Returns 0 when the path still names the same file
// and the lock was free; -1 otherwise (the handle stays invalid, so no later
// rewrite can begin).
int platRelockFile(PlatUpdateFile *file);

// A wide text made of a and b, from the heap (std::free); null on failure.
wchar_t *platJoinWide(const wchar_t *a, const wchar_t *b);
