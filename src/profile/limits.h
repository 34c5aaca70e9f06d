// Limits of the profile file format, named after what they bound.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PROFILE_LINE_SIZE = 4566;       // raw line: 4,565 characters and a zero
constexpr size_t PROFILE_NAME_SIZE = 77;         // section name: 76 characters
constexpr size_t PROFILE_VERSION_SIZE = 21;      // section version: 20 characters
constexpr size_t PROFILE_KEY_NAME_SIZE = 61;     // key name: 60 characters
constexpr size_t PROFILE_VALUE_SIZE = 4501;      // value: 4,500 characters
constexpr size_t PROFILE_WRITE_LINE_SIZE = 4565; // longest written line, 60+3+4,500+1, and a zero
constexpr size_t PROFILE_ENCODE_SIZE = 4500;     // output capacity handed to encodeLine
constexpr size_t PROFILE_PATH_SIZE = 1040;       // path: 1,039 characters
constexpr size_t PROFILE_DETAIL_SIZE = 1200;     // a failure's reason: a path and some words
// The buffer of an open file's stream, inside the file record: eight times
// the usual 4 KiB, so a large file is read in far fewer system calls, and
// small enough that the record stays below the 64 KiB whose release makes
// glibc's heap consolidate and give memory back to the system.
constexpr size_t PROFILE_STREAM_BUFFER_SIZE = 32768;

constexpr char PROFILE_RESERVED_SECTION[] = "S-y-S-t-E-m";
constexpr char PROFILE_RESERVED_VERSION[] = "1";
constexpr char PROFILE_KEY_FILENAME[] = "FILENAME";
constexpr char PROFILE_KEY_NUMSECTION[] = "NUMSECTION";
constexpr char PROFILE_KEY_CSUM[] = "CSUM";
constexpr char PROFILE_SECTION_KTRDIST[] = "KTRDIST";
constexpr char PROFILE_NO_VERSION[] = "*"; // the version of a header that gives none

constexpr int32_t PROFILE_CONTEXT_COUNT = 100;
