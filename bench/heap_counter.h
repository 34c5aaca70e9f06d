// Counting replacements of malloc and friends, for the peak-heap figure.
//
// Every allocation and release of the process passes through them; they
// keep the bytes in use (each block's usable size plus glibc's 8-byte chunk
// header) and the highest value since the last reset.
#pragma once

#include <cstdint>

// Starts a measurement: the peak becomes the bytes in use now.
void heapResetPeak();
// Bytes in use now, and the highest value since heapResetPeak().
int64_t heapInUse();
int64_t heapPeak();
