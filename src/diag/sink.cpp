// The sink state and the small lock that keeps its readers and writers apart.
#include "diag/sink.h"

#include <cstring>
#include <mutex>

namespace {
std::mutex sinkLock;
FILE *errorStream = nullptr;
char errorFilePath[QDM_ERROR_PATH_SIZE] = {};
} // namespace

void QDMsnapshotSink(QDMsinkSnapshot *out) {
    std::lock_guard<std::mutex> guard(sinkLock);
    out->stream = errorStream;
    std::memcpy(out->filePath, errorFilePath, sizeof errorFilePath);
}

FILE *QDMgetErrorStream() {
    std::lock_guard<std::mutex> guard(sinkLock);
    return errorStream;
}

const char *QDMgetErrorFilePath() {
    std::lock_guard<std::mutex> guard(sinkLock);
    return errorFilePath[0] != '\0' ? errorFilePath : nullptr;
}

void QDMsetErrorStream(FILE *stream) {
    std::lock_guard<std::mutex> guard(sinkLock);
    errorStream = stream;
}

void QDMsetErrorFilePath(const char *path) {
    std::lock_guard<std::mutex> guard(sinkLock);
    std::memset(errorFilePath, 0, sizeof errorFilePath);
    if (path != nullptr) std::strncpy(errorFilePath, path, sizeof errorFilePath - 1);
}
