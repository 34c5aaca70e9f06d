#include "platform/pages.h"

#include <cerrno>
#include <cstdint>
#include <sys/mman.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14; older kernels answer EINVAL
#endif

void *platPagesAlloc(size_t size, size_t populate) {
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
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are off, or on for every mapping, it
    // changes nothing.
    (void)madvise(pages, size, MADV_HUGEPAGE);
#endif
    if (populate > size) populate = size;
    populate = (populate + PLAT_PAGES_UNIT - 1) & ~(PLAT_PAGES_UNIT - 1);
    if (populate > size) populate = size;
    // Before the advice the kernel would fill them with small pages; a
    // kernel without the request leaves them to come in as written.
    if (populate > 0) (void)madvise(pages, populate, MADV_POPULATE_WRITE);
    return pages;
}

void platPagesFree(void *pages, size_t size) {
    if (pages != nullptr) munmap(pages, size);
}
