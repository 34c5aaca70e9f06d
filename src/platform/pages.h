// Whole pages from the system, for storage that is filled once from front
// to back and given back all at once (the records of a loaded profile).
//
// Chosen for speed: a heap block of many megabytes is faulted in by the
// kernel one 4 KiB page at a time as it is first written, which on a
// virtual machine costs more than the load itself.  Pages asked for here
// are aligned to 2 MiB and, where the system backs memory with huge pages
// on request, advised so, so that each first write brings in 2 MiB; and the
// part the caller knows it will fill is faulted in with one call.
#pragma once

#include <cstddef>

// The size every request is rounded up to, and the alignment of the pages.
constexpr size_t PLAT_PAGES_UNIT = size_t{2} << 20;

// Reserves `size` bytes (a multiple of PLAT_PAGES_UNIT) of zeroed,
// read-write memory, aligned to PLAT_PAGES_UNIT where the system allows
// (POSIX; Windows gives its 64 KiB granularity), and brings in the first
// `populate` bytes of it at once (as far as the system offers that; the
// rest comes in as it is first written).  Null when the system refuses.
// Nothing is recorded; the caller goes through the allocation wrapper.
void *platPagesAlloc(size_t size, size_t populate);

// Gives back pages from platPagesAlloc, with the size they were asked for.
void platPagesFree(void *pages, size_t size);
