/*
 * kvinit64 - public interface.
 *
 * A host loads kvinit64.dll (Windows) or libkvinit64.so (Linux) and calls
 * these functions from any of its threads.  Every call runs under the
 * library's per-process API lock, so exported calls of one process run one at
 * a time; a call that cannot obtain the lock within 15 seconds returns
 * QDK_STATUS_LOCK_TIMEOUT without doing any work.
 *
 * Only plain records and numbers cross this boundary.  The library never
 * hands heap memory to the host and never lets an exception escape.
 *
 * Usable from C and C++.
 */
#ifndef KVINIT64_H
#define KVINIT64_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported functions.  The Windows DLL exports by its module-definition file;
 * the Linux library builds with hidden visibility and exports these only. */
#if !defined(_WIN32) && defined(__GNUC__)
#define KVINIT64_API __attribute__((visibility("default")))
#else
#define KVINIT64_API
#endif

/* Status codes of every exported call (unsigned 32-bit; 0 is success). */
#define QDK_STATUS_OK 0u
#define QDK_STATUS_BAD_ARGUMENT 11u      /* null record, bad mode, bad path */
#define QDK_STATUS_LOCK_TIMEOUT 133u     /* the API lock was not obtained */
#define QDK_STATUS_NO_MEMORY 0xC8001007u /* an allocation failed during the call */

/* Modes of QDKsetUserErrorFile. */
#define QDK_ERROR_TO_FILE 0   /* path names the error file; null or "" clears it */
#define QDK_ERROR_TO_STDOUT 1 /* standard output, switched to unbuffered */
#define QDK_ERROR_TO_STDERR 2 /* standard error */

/* Library information, filled by QDKgetLibInfo.  Every text field holds a
 * zero-terminated text followed only by zero bytes.  164 bytes, no gaps. */
#define QDK_LIBINFO_TEXT_SIZE 32

typedef struct QDKlibInfoRec {
    int32_t reserved1;                              /* always 0 */
    char version[QDK_LIBINFO_TEXT_SIZE];            /* "9.5.0.0221" */
    char protocol[QDK_LIBINFO_TEXT_SIZE];           /* "TCP/IP" */
    char platform[QDK_LIBINFO_TEXT_SIZE];           /* "Win64" */
    char locale[QDK_LIBINFO_TEXT_SIZE];             /* "english_united-states" */
    unsigned char reserved2[QDK_LIBINFO_TEXT_SIZE]; /* all zero */
} QDKlibInfoRec;

#ifdef __cplusplus
#define KVINIT64_STATIC_ASSERT static_assert
#else
#define KVINIT64_STATIC_ASSERT _Static_assert
#endif
KVINIT64_STATIC_ASSERT(sizeof(QDKlibInfoRec) == 164, "QDKlibInfoRec must be 164 bytes");
KVINIT64_STATIC_ASSERT(offsetof(QDKlibInfoRec, reserved1) == 0, "reserved1 offset");
KVINIT64_STATIC_ASSERT(offsetof(QDKlibInfoRec, version) == 4, "version offset");
KVINIT64_STATIC_ASSERT(offsetof(QDKlibInfoRec, protocol) == 36, "protocol offset");
KVINIT64_STATIC_ASSERT(offsetof(QDKlibInfoRec, platform) == 68, "platform offset");
KVINIT64_STATIC_ASSERT(offsetof(QDKlibInfoRec, locale) == 100, "locale offset");
KVINIT64_STATIC_ASSERT(offsetof(QDKlibInfoRec, reserved2) == 132, "reserved2 offset");
#undef KVINIT64_STATIC_ASSERT

/* Fills *info with the library's version and build facts.
 * Returns 0; 11 for a null record (nothing written); 133 when the API lock was
 * not obtained (the record is untouched); 0xC8001007 when an allocation failed
 * during the call.  RE1DBDADF2C91EAD6b is the same function under a second
 * name. */
KVINIT64_API uint32_t QDKgetLibInfo(QDKlibInfoRec *info);
KVINIT64_API uint32_t RE1DBDADF2C91EAD6b(QDKlibInfoRec *info);

/* Chooses where the library's error reports go.
 *   mode 0: path (UTF-8) names a file to which each report is appended; a
 *           null or empty path clears the file.  Always clears the stream.
 *   mode 1: standard output (made unbuffered); the file is kept as fallback.
 *   mode 2: standard error; the file is kept as fallback.
 * With no destination, or when all fail, a report is shown to the user
 * (a message box on Windows, standard error on Linux).
 * Returns 0; 11 for another mode, a path of 1024 or more bytes (the former
 * file is kept) or a path that cannot be opened for appending (the file is
 * cleared); 133 when the API lock was not obtained; 0xC8001007 when an
 * allocation failed. */
KVINIT64_API uint32_t QDKsetUserErrorFile(int32_t mode, const char *path);

#ifdef __cplusplus
}
#endif

#endif /* KVINIT64_H */
