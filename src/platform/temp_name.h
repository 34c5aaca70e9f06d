// Names of the temporary files that a rewrite creates beside the file it
// replaces: the file's own name followed by ".~" and eight hexadecimal
// digits.  A file of that name that is left over was written by a rewrite
// that ended (a crash, a kill) before putting it in place.
#pragma once

#include <cstddef>

// Characters that a temporary name adds to the name it is made from.
constexpr size_t PLAT_TEMP_SUFFIX_LEN = 10;

// How many fresh names one creation tries before it gives up.
constexpr int PLAT_TEMP_NAME_ATTEMPTS = 100;

// Outcome of one try of PlatCreateFn.
enum PlatCreateTry {
    PLAT_CREATE_DONE,   // created (exclusively) under the name
    PLAT_CREATE_EXISTS, // the name is taken: try another
    PLAT_CREATE_FAILED, // any other failure: stop
};

// Creates, exclusively, a file of the given name; `context` is the caller's.
using PlatCreateFn = PlatCreateTry (*)(const char *name, void *context);

// Writes fresh temporary names made from `base` into name (size bytes) and
// hands each to create until one is created.  Returns 0 with the created
// file's name in name; -1 when the name does not fit, create fails, or no
// free name was found (name is then empty).
int platCreateUnderFreshName(const char *base, char *name, size_t size, PlatCreateFn create,
                             void *context);

// True when candidate is a temporary name made from base.
bool platIsTempNameOf(const char *base, const char *candidate);
