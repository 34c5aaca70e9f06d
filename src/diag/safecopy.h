// The one bounded copy into a fixed field, which says whether the text
// fitted, and the one bounded length.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t QDM_COPY_WHOLE = 0;
constexpr int32_t QDM_COPY_CUT = -1;
constexpr int32_t QDM_COPY_BAD_ARGUMENT = -2;

// Zero-fills all `size` bytes of destination, then copies at most size - 1
// characters of source, so destination always ends with a zero byte.
// Returns 0 when source fitted whole, -1 when it was cut (it has size or more
// characters), -2 for a null destination or source (nothing touched).
// A size of 0 returns 0 and touches nothing.
int32_t QDMsafeCopy(char *destination, const char *source, size_t size);

// The number of characters of text before its first zero byte, at most
// limit: no byte at or past text[limit] is read, so a result of limit means
// "limit characters or more".  A null text has length 0.
size_t QDMboundedLength(const char *text, size_t limit);
