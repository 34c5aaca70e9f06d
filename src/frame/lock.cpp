#include "frame/lock.h"

#include "frame/alloc.h"
#include "frame/status.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {
// The base names of apiLockTable, also kept apart from it: a call reads its
// class's base name before it takes the lock, and apiLockTable's slots, on
// the same cache line, are written by the thread that holds a class.  Reading
// them here keeps a waiting thread from pulling that line away from the
// holder on every call.  Chosen for speed.
constexpr const char *BASE_NAMES[QDM_LOCK_CLASS_MAX + 1] = {
    nullptr,          "ZOLTlmprcgeneric",  "ZOLTlmprcadmin", "ZOLTcgprcinit",
    "ZOLTlmprcevent", "ZOLTlmprctraceque", nullptr,          nullptr,
    "ZOLTRlf",        "ZOLTlmprcsoft",
};
} // namespace

QDMapiLockEntry apiLockTable[QDM_LOCK_CLASS_MAX + 1] = {
    {BASE_NAMES[0], nullptr}, {BASE_NAMES[1], nullptr}, {BASE_NAMES[2], nullptr},
    {BASE_NAMES[3], nullptr}, {BASE_NAMES[4], nullptr}, {BASE_NAMES[5], nullptr},
    {BASE_NAMES[6], nullptr}, {BASE_NAMES[7], nullptr}, {BASE_NAMES[8], nullptr},
    {BASE_NAMES[9], nullptr},
};

namespace {
bool clearsMemFailure(int32_t lockClass) {
    return lockClass == 1 || lockClass == 8 || lockClass == 9;
}

// Clears the memory-failure flag.  It is almost always clear already, and
// not writing it then keeps its cache line from moving between the cores
// that make calls.
void clearMemFailure() {
    if (qdmMemFailure.load(std::memory_order_relaxed) != 0)
        qdmMemFailure.store(0, std::memory_order_relaxed);
}

// Writes base, then pid in decimal, then ".lck" into name, as the format
// "%s%d%s" would, cut at QDM_MUTEX_NAME_SIZE - 1 characters and terminated.
// Every exported call names its lock, so this stays clear of printf.
void formatMutexName(char (&name)[QDM_MUTEX_NAME_SIZE], const char *base, int pid) {
    constexpr size_t limit = QDM_MUTEX_NAME_SIZE - 1;
    size_t length = 0;
    auto put = [&](char c) {
        if (length < limit) name[length++] = c;
    };
    for (const char *c = base; *c != '\0' && length < limit; ++c) put(*c);
    char digits[12];
    int count = 0;
    unsigned magnitude = pid < 0 ? 0u - static_cast<unsigned>(pid) : static_cast<unsigned>(pid);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (pid < 0) put('-');
    while (count > 0) put(digits[--count]);
    for (const char *c = ".lck"; *c != '\0'; ++c) put(*c);
    name[length] = '\0';
}

// The mutex of each class that has a base name, kept once resolved: every
// exported call takes its class's lock, and looking the mutex up by name each
// time (forming the name, then finding it among the process's mutexes by
// comparing names) is work that a process needs to do only once.  Chosen for
// speed.  A class's name changes only with the process id, that is in a
// forked child.  `key` says whose name and handle the entry holds: the
// process id and READY, or FILLING while one thread writes it.  `handle` is
// the mutex when the platform says its handle lasts (platMutexLasts), else
// null, and each call opens the mutex by `name`.  A thread that finds another
// process's entry, or one being written, forms the name in its scratch
// buffer and opens the mutex by it; the first to find it so writes the entry.
constexpr uint64_t NAME_FILLING = 1;
constexpr uint64_t NAME_READY = 2;

struct CachedName {
    std::atomic<uint64_t> key{0};
    QDMmutexHandle handle = nullptr;
    char name[QDM_MUTEX_NAME_SIZE];
};
CachedName cachedNames[QDM_LOCK_CLASS_MAX + 1];

uint64_t readyKey(uint32_t pid) { return static_cast<uint64_t>(pid) << 2 | NAME_READY; }

// Opens the mutex of a class with a base name in apiLockTable: through the
// kept handle, by the kept name, or by the name formed in scratch (and then
// kept).  Null when it cannot be created.
QDMmutexHandle openClassMutex(int32_t lockClass, const QDMsecurityAttrs *attrs,
                              char (&scratch)[QDM_MUTEX_NAME_SIZE]) {
    uint32_t pid = platProcessId();
    CachedName &cached = cachedNames[lockClass];
    uint64_t key = cached.key.load(std::memory_order_acquire);
    if (key == readyKey(pid))
        return cached.handle != nullptr ? platReopenMutex(attrs, cached.handle)
                                        : platCreateMutex(attrs, cached.name);
    formatMutexName(scratch, BASE_NAMES[lockClass], static_cast<int>(pid));
    QDMmutexHandle handle = platCreateMutex(attrs, scratch);
    if (handle != nullptr && key != NAME_FILLING &&
        cached.key.compare_exchange_strong(key, NAME_FILLING, std::memory_order_acquire)) {
        std::memcpy(cached.name, scratch, sizeof scratch);
        cached.handle = platMutexLasts(handle) ? handle : nullptr;
        cached.key.store(readyKey(pid), std::memory_order_release);
    }
    return handle;
}
} // namespace

int32_t QDMinitMutexSecurity(QDMsecurityAttrs *attrs) {
    if (attrs == nullptr) return -1;
    void *descriptor = nullptr;
    if (platInitSecurityDescriptor(&descriptor) != 0) return -1;
    attrs->length = sizeof(QDMsecurityAttrs);
    attrs->descriptor = descriptor;
    attrs->inheritHandle = 1;
    return 0;
}

void QDMcloseMutex(QDMmutexHandle handle) {
    if (handle == nullptr) return;
    platReleaseMutex(handle);
    platCloseMutex(handle);
}

int32_t QDMlockNamedMutex(int32_t lockClass, const char *baseName, int32_t timeoutMs) {
    if (lockClass < QDM_LOCK_CLASS_MIN || lockClass > QDM_LOCK_CLASS_MAX || timeoutMs < 0)
        return QDM_LOCK_BAD_ARGUMENT;
    bool hasBaseName = BASE_NAMES[lockClass] != nullptr;
    if (hasBaseName == (baseName != nullptr)) return QDM_LOCK_BAD_ARGUMENT;

    QDMsecurityAttrs attrs;
    if (QDMinitMutexSecurity(&attrs) != 0) return QDM_LOCK_CANNOT_CREATE;
    char scratch[QDM_MUTEX_NAME_SIZE];
    QDMmutexHandle handle;
    if (hasBaseName) {
        handle = openClassMutex(lockClass, &attrs, scratch);
    } else {
        formatMutexName(scratch, baseName, static_cast<int>(platProcessId()));
        handle = platCreateMutex(&attrs, scratch);
    }
    if (handle == nullptr) return QDM_LOCK_CANNOT_CREATE;

    switch (platWaitMutex(handle, static_cast<uint32_t>(timeoutMs))) {
    case PLAT_WAIT_ACQUIRED:
        apiLockTable[lockClass].slot = handle;
        return QDM_LOCK_ACQUIRED;
    case PLAT_WAIT_TIMEOUT:
        platCloseMutex(handle);
        return QDM_LOCK_TIMEOUT;
    case PLAT_WAIT_ABANDONED:
        // The wait made us the owner: give it back so the next caller gets it.
        QDMcloseMutex(handle);
        return QDM_LOCK_WAIT_FAILED;
    default:
        platCloseMutex(handle);
        return QDM_LOCK_WAIT_FAILED;
    }
}

void QDMunlockNamedMutex(int32_t lockClass) {
    if (lockClass < QDM_LOCK_CLASS_MIN || lockClass > QDM_LOCK_CLASS_MAX) return;
    QDMmutexHandle handle = apiLockTable[lockClass].slot;
    if (handle == nullptr) return;
    // Empty the slot first: once the mutex is released another thread may
    // take the class and store its own handle here.
    apiLockTable[lockClass].slot = nullptr;
    QDMcloseMutex(handle);
}

uint32_t QDMacquireApiLock(int32_t lockClass) {
    int32_t timeoutMs;
    if (clearsMemFailure(lockClass))
        timeoutMs = QDM_API_TIMEOUT_MS;
    else if (lockClass == 2)
        timeoutMs = QDM_ADMIN_TIMEOUT_MS;
    else
        return QDM_STATUS_BAD_ARGUMENT;
    if (QDMlockNamedMutex(lockClass, nullptr, timeoutMs) != QDM_LOCK_ACQUIRED)
        return QDM_STATUS_LOCK_TIMEOUT;
    if (clearsMemFailure(lockClass)) clearMemFailure();
    return QDM_STATUS_OK;
}

void QDMreleaseApiLock(int32_t lockClass) {
    if (clearsMemFailure(lockClass)) {
        clearMemFailure();
        QDMunlockNamedMutex(lockClass);
    } else if (lockClass == 2) {
        QDMunlockNamedMutex(lockClass);
    }
}
