// Recording why an open failed, shared by every platform.
#include "platform/open_reason.h"

#include <cstring>

void platSetReason(PlatOpenReason *reason, PlatWhy why, int error, const char *kind,
                   const char *where) {
    if (reason == nullptr) return;
    reason->why = why;
    reason->error = error;
    reason->kind = kind;
    reason->where[0] = '\0';
    if (where != nullptr) {
        std::strncpy(reason->where, where, sizeof reason->where - 1);
        reason->where[sizeof reason->where - 1] = '\0';
    }
}
