#include "platform/pages.h"

#include <cerrno>
#include <cstdint>
#include <sys/mman.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14; older kernels answer EINVAL
#endif

namespace {

// n rounded up to whole units, at most `size`.
size_t unitsWithin(size_t n, size_t size) {
    if (n >= size) return size;
    return (n + PLAT_PAGES_UNIT - 1) & ~(PLAT_PAGES_UNIT - 1);
}

} // namespace

void *platPagesAlloc(size_t size, size_t populate, size_t huge) {
    if (size == 0 || size % PLAT_PAGES_UNIT != 0 || size > SIZE_MAX - PLAT_PAGES_UNIT)
        return nullptr;
    // One unit more than asked, so that an aligned run lies inside; the
    // ends around it go back at once.  Nothing is touched yet.
    size_t span = size + PLAT_PAGES_UNIT;
    void *mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + PLAT_PAGES_UNIT - 1) & ~(uintptr_t{PLAT_PAGES_UNIT} - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    uintptr_t end = aligned + size;
    if (start + span > end) munmap(reinterpret_cast<void *>(end), start + span - end);
    auto *pages = reinterpret_cast<void *>(aligned);
    // Advice only: where huge pages are off, or on for every mapping, it
    // changes nothing.  Before the pages are brought in, or they would be
    // small ones.
    huge = unitsWithin(huge, size);
#ifdef MADV_HUGEPAGE
    if (huge > 0) (void)madvise(pages, huge, MADV_HUGEPAGE);
#endif
    // A kernel without the request leaves them to come in as written.
    populate = unitsWithin(populate, size);
    if (populate > 0) (void)madvise(pages, populate, MADV_POPULATE_WRITE);
    return pages;
}

void platPagesFree(void *pages, size_t size) {
    if (pages != nullptr) munmap(pages, size);
}
