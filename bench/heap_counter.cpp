#include "heap_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {
std::atomic<int64_t> inUse{0};
std::atomic<int64_t> peak{0};

// What a block costs the heap: its usable bytes and the chunk header.
int64_t cost(void *block) {
    return block == nullptr ? 0 : static_cast<int64_t>(malloc_usable_size(block) + sizeof(size_t));
}

void add(int64_t bytes) {
    int64_t now = inUse.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    int64_t high = peak.load(std::memory_order_relaxed);
    while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
    }
}
} // namespace

void heapResetPeak() { peak.store(inUse.load()); }
int64_t heapInUse() { return inUse.load(); }
int64_t heapPeak() { return peak.load(); }

extern "C" {

void *malloc(size_t size) {
    void *block = __libc_malloc(size);
    add(cost(block));
    return block;
}

void *calloc(size_t count, size_t size) {
    void *block = __libc_calloc(count, size);
    add(cost(block));
    return block;
}

void *realloc(void *block, size_t size) {
    int64_t before = cost(block);
    void *moved = __libc_realloc(block, size);
    if (moved != nullptr)
        add(cost(moved) - before);
    else if (block != nullptr && size == 0)
        add(-before); // released
    return moved;
}

void free(void *block) {
    add(-cost(block));
    __libc_free(block);
}

void *memalign(size_t alignment, size_t size) {
    void *block = __libc_memalign(alignment, size);
    add(cost(block));
    return block;
}

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void *block = memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

} // extern "C"
