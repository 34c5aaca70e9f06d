// UTF-8 to UTF-16, the one conversion behind every wide-character call of
// the Windows platform files.
#pragma once

#include <cstddef>

// Converts the zero-terminated UTF-8 text into out (units wide characters,
// its terminator included).  Returns the units written, terminator
// included, or 0 when the text is null, cannot be converted or does not
// fit (out is then empty when units > 0).  With a null out, returns the
// units the text needs.
int platUtf8ToWide(const char *utf8, wchar_t *out, int units);

// The converted text in a buffer from the heap (never from QDMalloc, so a
// failure here is not a call's memory failure); the caller frees it with
// std::free.  Null when the text is null, cannot be converted or the
// buffer cannot be had.
wchar_t *platUtf8ToWideAlloc(const char *utf8);
