// The error sink: where the library's error reports go, and the report.
//
// The host chooses the destination with QDKsetUserErrorFile: a stream sink
// (standard output or standard error) and a file sink (a path to which each
// report is appended), which may both be set.  A report tries, in order, the
// stream its caller gives, the stream sink, the error file, and when none
// takes the text, a message box.  One report at a time runs on the whole
// machine, under the named mutex "Global\VFRONTENDMSG_LOCK"; a report that
// finds it taken is dropped.
//
// The sink state is process-wide.  A small internal lock guards it (a state
// lock of the platform layer, which a fork leaves free in the child): it is
// held only while the state is changed or copied, never while a report
// writes.  A report therefore sees the state as it was when it began, and a
// change made meanwhile applies from the next report on.
#pragma once

#include "frame/lock.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t QDM_ERROR_PATH_SIZE = 1040;       // the file sink buffer
constexpr size_t QDM_ERROR_PATH_MAX = 1023;        // longest accepted path, in bytes
constexpr size_t QDM_MESSAGE_BOX_TEXT_SIZE = 4096; // longer box texts are cut
constexpr char QDM_REPORT_LOCK_NAME[] = "VFRONTENDMSG_LOCK";
constexpr char QDM_MESSAGE_BOX_TITLE[] = "Information";
constexpr uint32_t QDM_MESSAGE_BOX_STYLE = 0x2040; // MB_OK | MB_ICONINFORMATION | MB_TASKMODAL

// Results of QDMreportError.
constexpr int32_t QDM_REPORT_DONE = 0;
constexpr int32_t QDM_REPORT_DROPPED = -2;

// --- the sink state --------------------------------------------------------

// A copy of the sink state, taken at once.
struct QDMsinkSnapshot {
    FILE *stream;                       // stdout, stderr or null
    char filePath[QDM_ERROR_PATH_SIZE]; // empty: no file sink
};

// Copies the whole state under the sink lock.  The report's only reader.
void QDMsnapshotSink(QDMsinkSnapshot *out);

// The stream sink (stdout, stderr) or null.
FILE *QDMgetErrorStream();

// Copies the file sink buffer into `copy` under the sink lock; returns copy
// when the path is not empty, else null.
const char *QDMgetErrorFilePath(char (&copy)[QDM_ERROR_PATH_SIZE]);

// Sets the stream sink (stdout, stderr or null).
void QDMsetErrorStream(FILE *stream);

// Zero-fills the file sink buffer and copies path into it (at most 1039
// characters); a null or empty path leaves no file sink.
void QDMsetErrorFilePath(const char *path);

// --- the report ------------------------------------------------------------

// Takes the machine-wide named mutex "Global\" + name, waiting at most
// timeoutMs.  Returns 0 with the handle in *out (give it back with
// QDMcloseMutex); 1 for a null name or out; 2 time-out; 3 the security
// attributes or the mutex cannot be created; -1 any other failure of the
// wait.  On 2 and -1 *out is null.  A mutex its owner abandoned is given back
// and taken again.
int32_t QDMlockGlobalMutex(QDMmutexHandle *out, const char *name, uint32_t timeoutMs);

#if defined(__MINGW32__)
#define QDM_PRINTF_FORMAT(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#else
#define QDM_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

// Writes one formatted text, as formatted and nothing added, to the first
// destination that takes it: `stream` (when given), the stream sink, the
// error file, else a message box titled "Information" (which blocks until it
// is dismissed).  The error file is opened for appending before the format is
// looked at, so it is created even when the text goes elsewhere or the format
// is null or empty (then nothing is written).  Returns 0, or -2 when the
// report lock is held anywhere on the machine or cannot be taken: then
// nothing is opened or written.  Pass outside text as an argument ("%s"),
// never as the format.
int32_t QDMreportError(FILE *stream, const char *format, ...) QDM_PRINTF_FORMAT(2, 3);
