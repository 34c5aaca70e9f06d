// A bounded copy into a fixed field that says whether the text fitted.
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
