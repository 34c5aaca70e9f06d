// Library contexts and open-file records of the profile component.
//
// A context (one of 100 slots, named by its index) carries the error
// collector and the way lines reach the disk: a transform parameter and four
// line functions.  The component takes no locks: its callers never run two
// of its operations at once.
#pragma once

#include "diag/collector.h"
#include "profile/cursor_list.h"
#include "profile/fail.h"
#include "profile/limits.h"
#include "profile/line_functions.h"
#include "profile/lineio.h"
#include "profile/records.h"

#include <cstdint>
#include <cstdio>

struct PlatUpdateFile; // platform/update_file.h

struct ProfileLibContext {
    int32_t index;
    ErrCollector *collector; // present exactly while the context is open
    uint32_t transform;
    uint32_t ioMode;
    ProfileEncodeLineFn encodeLine;
    ProfileDecodeLineFn decodeLine;
    ProfileReadLineFn readLine;
    ProfileWriteLineFn writeLine;
    // Why the last failed file operation of this context failed, in words
    // that the catalogue's texts do not carry: the system's reason ("untrusted
    // link at /srv/a/b", "Permission denied") or the line and the rule that
    // a load refused.  Empty when there is none; every open and close of a
    // file starts with it empty (profileSetDetail, profileContextDetail).
    char detail[PROFILE_DETAIL_SIZE];
};

// The context table, all zero at load.
extern ProfileLibContext profileContexts[PROFILE_CONTEXT_COUNT];

// Opens the lowest free context.  *index is -1 on any failure.  Returns 0;
// 14 no memory for the collector; 11 I/O mode 1 without both readLine and
// writeLine, or an I/O mode other than 0 and 1; 13 all contexts open.
// Nothing is recorded.
uint32_t profileOpenLib(int32_t *index, uint32_t transform, uint32_t ioMode,
                        ProfileEncodeLineFn encodeLine, ProfileDecodeLineFn decodeLine,
                        ProfileReadLineFn readLine, ProfileWriteLineFn writeLine);

// Frees the context's collector and clears its slot.  Returns 0 (also for a
// slot that is not open); 11 no pointer; 9 index above 99 (compared unsigned).
uint32_t profileCloseLib(const uint32_t *index);

// The collector of an open context, or null.
ErrCollector *profileContextCollector(int32_t index);

// Sets the detail of the context's last failure, formatted as printf does
// and cut to PROFILE_DETAIL_SIZE - 1 characters; null format: empties it.
// Nothing for a context that is not open.
void profileSetDetail(int32_t index, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The detail of the context's last failure ("" when none), or null for a
// context that is not open.  Valid until the context's next file operation.
const char *profileContextDetail(int32_t index);

// The lowest free slot's index, or -1 when none is free (profileOpenLib
// then returns 13; 13 itself would be a valid index).
int32_t profileFindFreeContext();

// The record of one open profile file, owned by the caller between a
// successful open and a successful close.
struct ProfileFile {
    int32_t contextIndex;
    FILE *stream;                 // I/O mode 0, from open to close
    PlatUpdateFile *update;       // I/O mode 0, open modes 1 and 2: the locked, bound file
    char path[PROFILE_PATH_SIZE]; // as given at open
    uint32_t openMode;            // 0 "r", 1 "r+", 2 "w"
    uint32_t openFlags;           // bit 0: decode every line read
    CursorList *sections;         // file order, then creation order; does not own them
    ProfileArena arena;           // the sections and keys, freed with the file
    int32_t sectionCount;         // ordinary sections (not "S-y-S-t-E-m")
    uint64_t user;                // handed to every line function
    // The number (from 1) of the line at which the load ended early because
    // it could not be decoded; 0 when the load read to the end.  A read-only
    // open still succeeds with the sections before that line, so a caller
    // that must not take the shortened file for the whole one looks here.
    uint32_t loadEndedAtLine;
    // The number of lines the load read, blank ones included (those before
    // the line at which it ended or failed): tells an empty file from one
    // in which no section was found.
    uint32_t linesRead;
    // I/O mode 0 reads the stream in blocks of the size of streamBuffer and
    // splits the lines itself (profileBlockReadLine, over this reader).
    // lineByLine set (only tests do) reads through the context's readLine
    // instead, one line per call, as I/O mode 1 does.
    ProfileBlockReader reader;
    uint32_t lineByLine;
    // While the file loads, the block that profileBlockReadLine reads the
    // (unbuffered) stream into; afterwards the buffer of the new file that
    // the rewrite at close writes.  Part of the record so that it costs no
    // allocation of its own, and larger than the default so that a large
    // file is read and written in far fewer system calls.  Each stream is
    // closed before the record is freed.
    char streamBuffer[PROFILE_STREAM_BUFFER_SIZE];
};

constexpr uint32_t PROFILE_OPEN_READ = 0;
constexpr uint32_t PROFILE_OPEN_UPDATE = 1;
constexpr uint32_t PROFILE_OPEN_WRITE = 2;
constexpr uint32_t PROFILE_OPEN_FLAG_DECODE = 1u;
// An update open reads a line with text after a carriage return as one line,
// as a read-only open does, instead of refusing the file: only for a caller
// that drops such keys before the rewrite (profileDropRefusedKeys), since
// the rewrite keeps of that line only what the format keeps.
constexpr uint32_t PROFILE_OPEN_FLAG_KEEP_RETURNS = 2u;
// An update open (mode 1) of the library's own streams creates the file when
// it is missing, and opens it as it is when present: one step, so a file
// that another process makes meanwhile is never emptied.
constexpr uint32_t PROFILE_OPEN_FLAG_CREATE = 4u;

// *out receives an empty file with its section list.  Returns 0; 14 when
// the record cannot be allocated; 11 when its list cannot be made.  Recorded.
uint32_t profileNewFile(ErrCollector *collector, ProfileFile **out);

// Appends the section, which must come from profileNewSection with the
// file's arena and belong to no list yet, through its own list node, and
// counts it unless it is the reserved one.  Returns 0, or 11 (recorded) for
// no file or section.
uint32_t profileAddSection(ErrCollector *collector, ProfileFile *file, ProfileSection *section);

// Takes the section, which must be in the file's list, out of the list and
// the count; it and its keys stay unused in the file's arena until the file
// is freed.  Returns 0; 11 (recorded) for no file or section; 6 (recorded)
// when the section is not in the list, which is then unchanged.
uint32_t profileRemoveSection(ErrCollector *collector, ProfileFile *file,
                              const ProfileSection *section);

// Frees the file with its sections and keys (its arena).  Returns 0; 11 (recorded) when
// the file has no section list; 6 (recorded) when a list cannot be destroyed.
uint32_t profileFreeFile(ErrCollector *collector, ProfileFile *file);

// The context of a file, or null when it is not open.
ProfileLibContext *profileFileContext(const ProfileFile *file);
