// Moving whole profile files between their stored form and the records.
#pragma once

#include "diag/collector.h"
#include "profile/context.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t PROFILE_SAVE_ENCODE = 1u;    // bit 0: pass each line through encodeLine
constexpr uint32_t PROFILE_SAVE_CHECKSUMS = 2u; // bit 1: a "CSUM" line ends each section
constexpr uint32_t PROFILE_SAVE_REFRESH = 4u;   // bit 2: damaged sections get the computed sum

// What reading one line gave.  Not statuses: the loader decides which of
// them end the load, and records a status of the catalogue for those.
enum ProfileReadResult : uint32_t {
    PROFILE_READ_LINE,        // the buffer holds the next line
    PROFILE_READ_END,         // the end of the data (or a failed stream)
    PROFILE_READ_UNDECODABLE, // the line decoded to nothing (or no file or buffer)
    PROFILE_READ_TAMPERED,    // I/O mode 0: the line holds a NUL byte
};

// Reads the next plain, normalised line into buffer (capacity 4,566).
// Records nothing.
ProfileReadResult profileReadLine(ErrCollector *collector, ProfileFile *file, char *buffer,
                                  size_t capacity);

// Loads the whole file into its section list.  Returns 0, or the status of
// the first failure (recorded); the sections appended so far stay in the list.
uint32_t profileLoad(ErrCollector *collector, ProfileFile *file);

// Writes the file through its context's line functions.  Returns 0, or the
// status of the first failure (recorded).
uint32_t profileSave(ErrCollector *collector, ProfileFile *file, uint32_t saveFlags);
