// The machine-wide named mutex of the error report.
#include "diag/sink.h"

#include <cstdio>

int32_t QDMlockGlobalMutex(QDMmutexHandle *out, const char *name, uint32_t timeoutMs) {
    if (name == nullptr || out == nullptr) return QDM_LOCK_BAD_ARGUMENT;
    char fullName[QDM_MUTEX_NAME_SIZE] = {};
    std::snprintf(fullName, sizeof fullName, "%s%s", PLAT_GLOBAL_PREFIX, name);

    QDMsecurityAttrs attrs;
    if (QDMinitMutexSecurity(&attrs) != 0) return QDM_LOCK_CANNOT_CREATE;
    for (;;) {
        *out = platCreateMutex(&attrs, fullName);
        if (*out == nullptr) return QDM_LOCK_CANNOT_CREATE;
        switch (platWaitMutex(*out, timeoutMs)) {
        case PLAT_WAIT_ACQUIRED:
            return QDM_LOCK_ACQUIRED;
        case PLAT_WAIT_ABANDONED:
            // The wait made us the owner of a mutex whose holder ended: give
            // it back and take it afresh.
            QDMcloseMutex(*out);
            continue;
        case PLAT_WAIT_TIMEOUT:
            platCloseMutex(*out);
            *out = nullptr;
            return QDM_LOCK_TIMEOUT;
        default:
            platCloseMutex(*out);
            *out = nullptr;
            return QDM_LOCK_WAIT_FAILED;
        }
    }
}
