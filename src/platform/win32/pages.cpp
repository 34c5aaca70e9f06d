#include "platform/pages.h"

#include <cstdint>
#include <windows.h>

// Windows brings committed memory in page by page as it is first touched,
// and large pages need a privilege that a host rarely holds: the request is
// one VirtualAlloc (aligned to its 64 KiB granularity); `populate` and
// `huge` are not acted on.
void *platPagesAlloc(size_t size, size_t populate, size_t huge) {
    (void)populate;
    (void)huge;
    if (size == 0 || size % PLAT_PAGES_UNIT != 0) return nullptr;
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void platPagesFree(void *pages, size_t size) {
    (void)size;
    if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}
