#include "frame/alloc.h"

#include "platform/pages.h"

#include <cstdlib>

std::atomic<int32_t> qdmMemFailure{0};

#ifdef KVINIT64_TESTABLE
namespace {
std::atomic<int> failCountdown{0}; // > 0: allocations left until the failing one
std::atomic<bool> failPersist{false};
std::atomic<bool> failAll{false}; // a persistent failure has fired
std::atomic<bool> failFired{false};

bool injectedFailure() {
    if (failAll.load(std::memory_order_relaxed)) return true;
    if (failCountdown.load(std::memory_order_relaxed) <= 0) return false;
    if (failCountdown.fetch_sub(1) != 1) return false;
    failFired.store(true);
    if (failPersist.load()) failAll.store(true);
    return true;
}
} // namespace
#endif

void *QDMalloc(uint32_t size) {
#ifdef KVINIT64_TESTABLE
    void *p = injectedFailure() ? nullptr : std::malloc(size == 0 ? 1 : size);
#else
    void *p = std::malloc(size == 0 ? 1 : size); // only a real shortage fails
#endif
    if (p == nullptr) qdmMemFailure.store(1, std::memory_order_relaxed);
    return p;
}

void *QDMallocPages(size_t size, size_t populate, size_t huge) {
#ifdef KVINIT64_TESTABLE
    void *p = injectedFailure() ? nullptr : platPagesAlloc(size, populate, huge);
#else
    void *p = platPagesAlloc(size, populate, huge);
#endif
    if (p == nullptr) qdmMemFailure.store(1, std::memory_order_relaxed);
    return p;
}

void QDMfreePages(void *pages, size_t size) { platPagesFree(pages, size); }

#ifdef KVINIT64_TESTABLE
void qdmAllocFailAt(int n, bool persist) {
    failAll.store(false);
    failFired.store(false);
    failPersist.store(persist);
    failCountdown.store(n > 0 ? n : 0);
}

void qdmAllocFailReset() { qdmAllocFailAt(0); }

bool qdmAllocFailFired() { return failFired.load(); }
#endif
