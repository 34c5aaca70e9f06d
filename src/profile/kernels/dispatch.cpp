#include "profile/kernels/dispatch.h"

#include "diag/messages.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cstring>

std::atomic<int32_t> kernelActiveSet{-1};

namespace {

constexpr const char *NAMES[KERNEL_SET_COUNT] = {"scalar", "sse2", "ssse3", "avx2", "avx512"};

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// LZCNT (CPUID leaf 0x80000001, ECX bit 5), asked directly: not every
// compiler's __builtin_cpu_supports names it.
bool hasLzcnt() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(0x80000001u, &a, &b, &c, &d) != 0 && (c & (1u << 5)) != 0;
}
#endif

// What the processor runs, asked once per process (the set's code aside).
bool processorRuns(KernelSet set) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    switch (set) {
    case KERNEL_SCALAR:
        return true;
    case KERNEL_SSE2:
        return __builtin_cpu_supports("sse2") != 0;
    case KERNEL_SSSE3:
        return __builtin_cpu_supports("ssse3") != 0;
    case KERNEL_AVX2:
        return __builtin_cpu_supports("avx2") != 0;
    case KERNEL_AVX512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
               hasLzcnt() && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    default:
        return false;
    }
#else
    return set == KERNEL_SCALAR;
#endif
}

bool built(KernelSet set) {
    switch (set) {
    case KERNEL_SCALAR:
        return true;
#if defined(__SSE2__)
    case KERNEL_SSE2:
    case KERNEL_SSSE3:
        return true;
#endif
#if defined(KV_KERNEL_AVX2)
    case KERNEL_AVX2:
        return true;
#endif
#if defined(KV_KERNEL_AVX512)
    case KERNEL_AVX512:
        return true;
#endif
    default:
        return false;
    }
}

#ifdef KVINIT64_TESTABLE
int32_t setNamed(const char *name) {
    for (int32_t i = 0; i < KERNEL_SET_COUNT; ++i)
        if (std::strcmp(name, NAMES[i]) == 0) return i;
    return -1;
}
#endif

KernelSet widest() {
    for (int32_t i = KERNEL_SET_COUNT - 1; i > 0; --i)
        if (kernelSetRuns(static_cast<KernelSet>(i))) return static_cast<KernelSet>(i);
    return KERNEL_SCALAR;
}

} // namespace

bool kernelSetRuns(KernelSet set) {
    return set >= KERNEL_SCALAR && set < KERNEL_SET_COUNT && built(set) && processorRuns(set);
}

const char *kernelSetName(KernelSet set) {
    return set >= KERNEL_SCALAR && set < KERNEL_SET_COUNT ? NAMES[set] : "?";
}

KernelSet kernelAsk() {
    KernelSet set = widest();
#ifdef KVINIT64_TESTABLE
    // A set named in the environment, where it runs: for the fuzz targets
    // and the benchmarks, which cannot be told otherwise.
    const char *name = std::getenv("KVINIT64_KERNEL");
    if (name != nullptr) {
        const int32_t named = setNamed(name);
        if (named >= 0 && kernelSetRuns(static_cast<KernelSet>(named)))
            set = static_cast<KernelSet>(named);
    }
#endif
    kernelActiveSet.store(set, std::memory_order_relaxed);
    return set;
}

#ifdef KVINIT64_TESTABLE
uint32_t kernelForce(const char *name) {
    if (name == nullptr) {
        kernelActiveSet.store(widest(), std::memory_order_relaxed);
        return 0;
    }
    const int32_t named = setNamed(name);
    if (named < 0 || !kernelSetRuns(static_cast<KernelSet>(named)))
        return PROFILE_STATUS_BAD_PARAMS;
    kernelActiveSet.store(named, std::memory_order_relaxed);
    return 0;
}
#endif
