// Whole pages from the system, for storage that is filled once from front
// to back and given back all at once (the records of a loaded profile).
//
// Chosen for speed: a heap block of many megabytes is faulted in by the
// kernel one 4 KiB page at a time as it is first written, which on a
// virtual machine costs more than the load itself.  Pages asked for here
// are aligned to 2 MiB, and the part the caller knows it will fill is
// brought in with one call, in huge pages where the system backs memory
// with them on request.
#pragma once

#include <cstddef>

// The size every request is rounded up to, and the alignment of the pages.
constexpr size_t PLAT_PAGES_UNIT = size_t{2} << 20;

// Reserves `size` bytes (a multiple of PLAT_PAGES_UNIT) of zeroed,
// read-write memory, aligned to PLAT_PAGES_UNIT where the system allows
// (POSIX; Windows gives its 64 KiB granularity).  The first `huge` bytes
// are advised to huge pages, so that a first write there brings in a whole
// unit; the first `populate` bytes are brought in at once (as far as the
// system offers that).  The rest keeps small pages that come in as they are
// first written, so that a part left unused costs no memory.  Both round up
// to whole units.  Null when the system refuses.  Nothing is recorded; the
// caller goes through the allocation wrapper.
void *platPagesAlloc(size_t size, size_t populate, size_t huge);

// Gives back pages from platPagesAlloc, with the size they were asked for.
void platPagesFree(void *pages, size_t size);
