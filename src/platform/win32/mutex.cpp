// Named mutexes on Windows: kernel mutex objects.  Names without a namespace
// prefix live in the caller's session namespace; "Global\" names are shared
// by every session on the machine.
#include "platform/mutex.h"

#include "platform/fault.h"

#include <cstddef>
#include <windows.h>

static_assert(sizeof(QDMsecurityAttrs) == sizeof(SECURITY_ATTRIBUTES));
static_assert(offsetof(QDMsecurityAttrs, length) == offsetof(SECURITY_ATTRIBUTES, nLength));
static_assert(offsetof(QDMsecurityAttrs, descriptor) ==
              offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor));
static_assert(offsetof(QDMsecurityAttrs, inheritHandle) ==
              offsetof(SECURITY_ATTRIBUTES, bInheritHandle));

namespace {
// Built once, under its lock, and never rewritten: a rewrite starts from an
// empty descriptor, so a thread creating a mutex with it at that moment
// would give the mutex the default access list instead of the null one.
SRWLOCK descriptorLock = SRWLOCK_INIT;
bool descriptorBuilt = false;
SECURITY_DESCRIPTOR everyoneDescriptor;
} // namespace

int platInitSecurityDescriptor(void **descriptor) {
    if (descriptor == nullptr || platFaultHit(PLAT_FAULT_SECURITY)) return -1;
    AcquireSRWLockExclusive(&descriptorLock);
    // A present but null access list: every account may open and wait.
    if (!descriptorBuilt)
        descriptorBuilt =
            InitializeSecurityDescriptor(&everyoneDescriptor, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&everyoneDescriptor, TRUE, nullptr, FALSE);
    bool built = descriptorBuilt;
    ReleaseSRWLockExclusive(&descriptorLock);
    if (!built) return -1;
    *descriptor = &everyoneDescriptor;
    return 0;
}

PlatMutex platCreateMutex(const QDMsecurityAttrs *attrs, const char *name) {
    if (platFaultHit(PLAT_FAULT_MUTEX_CREATE)) return nullptr;
    SECURITY_ATTRIBUTES sa;
    SECURITY_ATTRIBUTES *psa = nullptr;
    if (attrs != nullptr) {
        sa.nLength = attrs->length;
        sa.lpSecurityDescriptor = attrs->descriptor;
        sa.bInheritHandle = attrs->inheritHandle;
        psa = &sa;
    }
    return CreateMutexA(psa, FALSE, name);
}

// A handle is a kernel handle that each user closes: none lasts, and every
// wait opens the mutex by name.
bool platMutexLasts(PlatMutex mutex) {
    (void)mutex;
    return false;
}

PlatMutex platReopenMutex(const QDMsecurityAttrs *attrs, PlatMutex kept) {
    (void)attrs;
    (void)kept;
    return nullptr; // no handle lasts
}

PlatWait platWaitMutex(PlatMutex mutex, uint32_t timeoutMs) {
    if (mutex == nullptr || platFaultHit(PLAT_FAULT_MUTEX_WAIT)) return PLAT_WAIT_FAILED;
    switch (WaitForSingleObject(static_cast<HANDLE>(mutex), timeoutMs)) {
    case WAIT_OBJECT_0:
        return PLAT_WAIT_ACQUIRED;
    case WAIT_ABANDONED:
        return PLAT_WAIT_ABANDONED;
    case WAIT_TIMEOUT:
        return PLAT_WAIT_TIMEOUT;
    default:
        return PLAT_WAIT_FAILED;
    }
}

void platReleaseMutex(PlatMutex mutex) {
    if (mutex != nullptr) ReleaseMutex(static_cast<HANDLE>(mutex));
}

void platCloseMutex(PlatMutex mutex) {
    if (mutex != nullptr) CloseHandle(static_cast<HANDLE>(mutex));
}

uint32_t platProcessId() { return GetCurrentProcessId(); }

int platGlobalLockPath(const char *name, char *out, size_t size) {
    (void)name;
    (void)out;
    (void)size;
    return -1; // kernel objects, not files
}

namespace {
SRWLOCK stateLocks[PLAT_STATE_COUNT] = {SRWLOCK_INIT};
} // namespace

void platLockState(PlatStateLock lock) { AcquireSRWLockExclusive(&stateLocks[lock]); }

void platUnlockState(PlatStateLock lock) { ReleaseSRWLockExclusive(&stateLocks[lock]); }
