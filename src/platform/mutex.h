// Named system mutexes, as the call frame and the error report use them.
//
// A mutex is created, or opened when it exists, by name; a name that begins
// with "Global\" is shared by every process of every user on the machine,
// any other name is private to the calling process.  Waits are bounded.  A
// mutex whose owner ended while holding it is reported as abandoned, and the
// waiter then owns it.
#pragma once

#include <cstdint>

// Security attributes handed to mutex creation.  Its layout matches the
// Windows SECURITY_ATTRIBUTES record (length, descriptor, inherit flag).
struct QDMsecurityAttrs {
    uint32_t length;
    void *descriptor;
    int32_t inheritHandle;
};

using PlatMutex = void *; // opaque handle; null means none

enum PlatWait {
    PLAT_WAIT_ACQUIRED,
    PLAT_WAIT_TIMEOUT,
    PLAT_WAIT_ABANDONED, // the previous owner ended holding it; we own it now
    PLAT_WAIT_FAILED
};

// The process-wide descriptor that lets every account open and wait on a
// mutex (a null access list).  Built under a lock, so callers on several
// threads never see it half-made; on Windows it is built once and kept.
// Returns 0, or -1 when it cannot be built.
int platInitSecurityDescriptor(void **descriptor);

// Creates the named mutex, or opens it when it exists, not owned.  Returns
// null when it cannot be created.
PlatMutex platCreateMutex(const QDMsecurityAttrs *attrs, const char *name);

// Waits at most timeoutMs milliseconds (0: just tries).
PlatWait platWaitMutex(PlatMutex mutex, uint32_t timeoutMs);

// Gives back a mutex that the calling thread owns.
void platReleaseMutex(PlatMutex mutex);

// Closes the handle; it does not give the mutex back.
void platCloseMutex(PlatMutex mutex);

// The calling process's id.
uint32_t platProcessId();
