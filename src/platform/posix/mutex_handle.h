// The handles that the POSIX named mutexes give out begin with one int that
// says which part made them, so that the entry points of platform/mutex.h
// (mutex.cpp) can hand each call to that part.  Not for use elsewhere.
#pragma once

enum HandleKind {
    LOCAL_MUTEX = 1, // a process-private name (local_mutex.h)
    GLOBAL_LOCK = 2  // a machine-wide name (global_lock.h)
};
