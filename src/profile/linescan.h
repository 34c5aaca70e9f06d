// The next plain line of a block found and scanned for the key split in
// one pass, where the processor has a kernel for it.
#pragma once

#include "profile/format.h"

#include <cstddef>

// Finds the first line feed in bytes[0..size) and gathers the split's scan
// of the bytes before it (format.h), so that the line is read once for its
// end and its split.  True gives the line's length with its line feed and
// the scan; false (no line feed within size, or no kernel for it on this
// processor) leaves the caller to find the line and split it the other way.
bool profileScanPlainLine(const char *bytes, size_t size, size_t *lineLength,
                          ProfileLineScan *scan);
