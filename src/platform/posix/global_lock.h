// The machine-wide named mutexes on POSIX ("Global\" names), behind the
// entry points of platform/mutex.h (global_lock.cpp).  Not for use elsewhere.
#pragma once

#include "platform/mutex.h"

#include <cstdint>

struct GlobalLock; // a handle; its first int is GLOBAL_LOCK (mutex_handle.h)

// Opens a handle of the name ("Global\" included); null when it cannot be
// made.
GlobalLock *createGlobal(const char *name);

// Waits at most timeoutMs for the lock.  Its owner passes at once, through
// this handle or any other of the same name, and each pass wants its own
// release.
PlatWait waitGlobal(GlobalLock *g, uint32_t timeoutMs);

// Gives back one wait of the owner, through any of the name's handles; the
// last one frees the lock for other threads and processes.
void releaseGlobal(GlobalLock *g);

// Closes the handle; it does not give the lock back.
void closeGlobal(GlobalLock *g);

// Around a fork: the lock of the open handles' list is taken before and
// given back in the parent; the child drops its copies of the lock files.
void forkPrepareGlobals();
void forkParentGlobals();
void forkChildGlobals();
