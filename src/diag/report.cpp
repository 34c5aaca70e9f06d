// The error report: one formatted text to the first destination that takes
// it, under the machine-wide report lock.
#include "diag/fopen_utf8.h"
#include "diag/sink.h"
#include "platform/file.h"
#include "platform/msgbox.h"

#include <cstdarg>

namespace {

// Written only by the holder of the report lock.
char messageBoxText[QDM_MESSAGE_BOX_TEXT_SIZE];

// A formatted write to one destination; true when it took the text.
QDM_PRINTF_FORMAT(2, 0)
bool writeTo(FILE *stream, const char *format, va_list args) {
    if (stream == nullptr) return false;
    va_list copy;
    va_copy(copy, args);
    int written = platWriteFormatted(stream, format, copy);
    va_end(copy);
    return written >= 0;
}

// The text reaches exactly one destination: the first stream that takes it,
// else the message box.  The error file counts as taking the text only once
// it is closed without an error (a full disk may show only there); it is
// closed here either way and *file becomes null.
QDM_PRINTF_FORMAT(4, 0)
void deliver(FILE *callerStream, FILE *sinkStream, FILE **file, const char *format, va_list args) {
    if (writeTo(callerStream, format, args) || writeTo(sinkStream, format, args)) return;
    if (*file != nullptr) {
        bool written = writeTo(*file, format, args);
        // A failed flush leaves the text in the buffer, and the close writes
        // it again: to a pipe without a reader, quietly.
        int quiet = platBeginQuietPipe();
        bool closed = std::fclose(*file) == 0;
        platEndQuietPipe(quiet);
        *file = nullptr;
        if (written && closed) return;
    }
    va_list copy;
    va_copy(copy, args);
    messageBoxText[0] = '\0';
    std::vsnprintf(messageBoxText, sizeof messageBoxText, format, copy); // cut at the end
    va_end(copy);
    platShowMessageBox(messageBoxText, QDM_MESSAGE_BOX_TITLE, QDM_MESSAGE_BOX_STYLE);
}

} // namespace

int32_t QDMreportError(FILE *stream, const char *format, ...) {
    QDMmutexHandle lock = nullptr;
    if (QDMlockGlobalMutex(&lock, QDM_REPORT_LOCK_NAME, 0) != QDM_LOCK_ACQUIRED)
        return QDM_REPORT_DROPPED;

    // The state as it is now serves the whole report.
    QDMsinkSnapshot sink;
    QDMsnapshotSink(&sink);
    // Opened before the format is looked at: the file exists after every
    // report that is not dropped.
    FILE *file = sink.filePath[0] != '\0' ? QDMopenErrorFile(sink.filePath) : nullptr;

    if (format != nullptr && format[0] != '\0') {
        va_list args;
        va_start(args, format);
        deliver(stream, sink.stream, &file, format, args);
        va_end(args);
    }

    if (file != nullptr) std::fclose(file);
    QDMcloseMutex(lock);
    return QDM_REPORT_DONE;
}
