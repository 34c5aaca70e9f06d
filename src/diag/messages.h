// Message catalogues: one place defines each code's number and text.
//
// A catalogue is an array of texts: entry 0 the prefix printed in each text
// header, entry 1 the highest message number N as decimal text, entries 2 to
// N the printf-style template of each message number.  A code selects the
// template of its message number, code mod 100 (truncating), when 2 <= r <= N.
#pragma once

#include <cstdint>

using MessageCatalogue = const char *const *;

// The profile component's codes and texts.  None of these templates takes an
// argument.  X(number, NAME, template)
#define PROFILE_MESSAGE_TABLE(X)                                                                   \
    X(2, FILE_NOT_FOUND, "Error : The given file does not exist")                                  \
    X(3, NOT_AUTHORIZED, "Error : The user is not authorized to perform specified operation")      \
    X(4, BAD_HANDLE, "Error : Bad Handle passed by the user")                                      \
    X(5, WRITE_FAILED, "Error : Encountered while writing")                                        \
    X(6, NO_SECTION, "Error : No matching section found")                                          \
    X(7, NO_KEY, "Error : No matching key found")                                                  \
    X(8, TAMPERED, "Error : File is found to be tampered")                                         \
    X(9, BAD_LIB, "Error : Bad LIB handle passed by the user")                                     \
    X(10, TOO_MANY_FILES, "Error : Too many files open")                                           \
    X(11, BAD_PARAMS, "Error : Check the calling parameters")                                      \
    X(12, CANNOT_OPEN, "Error : File can not be opened")                                           \
    X(13, NO_LIB_HANDLE, "Error : No more Handle available")                                       \
    X(14, NO_RESOURCES, "Error : No more resources available")                                     \
    X(15, END_OF_LIST, "Error : No more element in the list")                                      \
    X(16, BAD_KEY_NAME, "Error : Invalid Key-Name passed by the user")                             \
    X(17, KEY_EXISTS, "Error : Key already exists")                                                \
    X(18, BAD_SECTION_NAME, "Error : Invalid Section-Name passed by the user")                     \
    X(19, SECTION_EXISTS, "Error : Section already exists")                                        \
    X(20, BAD_VERSION, "Error : Invalid Section-Version passed by the user")                       \
    X(21, BAD_VALUE, "Error : Invalid Key-Value passed by the user")

// PROFILE_STATUS_FILE_NOT_FOUND = 2, ... PROFILE_STATUS_BAD_VALUE = 21.
#define PROFILE_STATUS_CONSTANT(number, name, text)                                                \
    constexpr uint32_t PROFILE_STATUS_##name = number;
PROFILE_MESSAGE_TABLE(PROFILE_STATUS_CONSTANT)
#undef PROFILE_STATUS_CONSTANT
constexpr uint32_t PROFILE_STATUS_OK = 0;

// Prefix "OXB", N "21".
extern const char *const profileMessages[];

// The library's general catalogue: prefix "KTR", N "53", an entry for every
// number up to 53.  The profile component uses template 21 only.
extern const char *const generalMessages[];
