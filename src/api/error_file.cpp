// QDKsetUserErrorFile: the host chooses where error reports go.
#include "diag/fopen_utf8.h"
#include "diag/safecopy.h"
#include "diag/sink.h"
#include "frame/frame.h"
#include "kvinit64.h"
#include "platform/file.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The work buffer: the accepted path and one byte to spare.
constexpr uint32_t WORK_BUFFER_SIZE = QDM_ERROR_PATH_MAX + 2; // 1025
// Copying with this size cuts exactly the paths longer than the limit.
constexpr size_t WORK_COPY_SIZE = QDM_ERROR_PATH_MAX + 1; // 1024

// Mode 0 with a path, once the work buffer exists.  The path is tried by
// opening it for appending (which creates the file) and closing it at once;
// only the outcome is stored, so a report running meanwhile sees the former
// file sink or the new one, never one half-made.
uint32_t chooseFile(char *work, const char *path) {
    if (QDMsafeCopy(work, path, WORK_COPY_SIZE) != QDM_COPY_WHOLE)
        return QDM_STATUS_BAD_ARGUMENT; // too long: the former file sink stays
    if (work[0] == '\0') {
        QDMsetErrorFilePath(nullptr);
        return QDM_STATUS_OK;
    }
    // Never waits: a path that cannot be used without waiting (a FIFO with
    // no reader) would hold the API lock for ever; it is refused instead.
    FILE *file = QDMopenErrorFile(work);
    if (file == nullptr) {
        QDMsetErrorFilePath(nullptr);
        return QDM_STATUS_BAD_ARGUMENT;
    }
    std::fclose(file);
    QDMsetErrorFilePath(work);
    return QDM_STATUS_OK;
}

uint32_t chooseFileMode(const char *path) {
    QDMsetErrorStream(nullptr); // first, and so it stays whatever follows
    if (path == nullptr) {
        QDMsetErrorFilePath(nullptr);
        return QDM_STATUS_OK;
    }
    auto *work = static_cast<char *>(QDMalloc(WORK_BUFFER_SIZE));
    if (work == nullptr) return QDM_STATUS_NO_MEMORY;
    uint32_t status = chooseFile(work, path);
    std::free(work);
    return status;
}

// Flushes the stream, which may be a pipe whose reader has gone: the flush
// then fails instead of raising SIGPIPE.
void flushQuietly(FILE *stream) {
    int quiet = platBeginQuietPipe();
    std::fflush(stream);
    platEndQuietPipe(quiet);
}

} // namespace

extern "C" uint32_t QDKsetUserErrorFile(int32_t mode, const char *path) {
    return QDMcallFrame([&]() -> uint32_t {
        switch (mode) {
        case QDK_ERROR_TO_FILE:
            return chooseFileMode(path);
        case QDK_ERROR_TO_STDOUT:
            // Unbuffered before it becomes the sink, so every report on it
            // goes out at once; what was already buffered goes out first.
            flushQuietly(stdout);
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            QDMsetErrorStream(stdout);
            return QDM_STATUS_OK;
        case QDK_ERROR_TO_STDERR:
            QDMsetErrorStream(stderr);
            return QDM_STATUS_OK;
        default:
            return QDM_STATUS_BAD_ARGUMENT;
        }
    });
}
