// The sink state and the small lock that keeps its readers and writers apart.
#include "diag/sink.h"

#include "diag/safecopy.h"
#include "platform/mutex.h"

#include <cstring>

namespace {
// Guarded by the state lock PLAT_STATE_SINK.
FILE *errorStream = nullptr;
char errorFilePath[QDM_ERROR_PATH_SIZE] = {};
} // namespace

void QDMsnapshotSink(QDMsinkSnapshot *out) {
    PlatStateGuard guard(PLAT_STATE_SINK);
    out->stream = errorStream;
    std::memcpy(out->filePath, errorFilePath, sizeof errorFilePath);
}

FILE *QDMgetErrorStream() {
    PlatStateGuard guard(PLAT_STATE_SINK);
    return errorStream;
}

const char *QDMgetErrorFilePath(char (&copy)[QDM_ERROR_PATH_SIZE]) {
    PlatStateGuard guard(PLAT_STATE_SINK);
    std::memcpy(copy, errorFilePath, sizeof errorFilePath);
    return copy[0] != '\0' ? copy : nullptr;
}

void QDMsetErrorStream(FILE *stream) {
    PlatStateGuard guard(PLAT_STATE_SINK);
    errorStream = stream;
}

void QDMsetErrorFilePath(const char *path) {
    PlatStateGuard guard(PLAT_STATE_SINK);
    // A longer path is cut at QDM_ERROR_PATH_SIZE - 1 characters.
    QDMsafeCopy(errorFilePath, path != nullptr ? path : "", sizeof errorFilePath);
}
