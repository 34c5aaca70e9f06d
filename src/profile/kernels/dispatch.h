// Which kernels of the line encoding, the plain line scan and the checksum
// run: the widest instruction set that both this build and the processor
// have, asked once.
//
// The sets, each including the ones before it:
//   scalar  byte by byte, on any processor (the reference);
//   sse2    16-byte blocks (every x86-64 processor);
//   ssse3   the checksum's byte shuffle;
//   avx2    32-byte blocks for the line decoder and the plain line scan;
//   avx512  64-byte blocks for the line decoder, the plain line scan and the
//           checksum: AVX-512 F, BW, VBMI (the byte permutes of the
//           checksum and of the line decoder's byte classes;
//           every processor with VBMI2 has it) and VBMI2 with BMI2, POPCNT
//           and LZCNT (the checksum's mixing).
// The last two are built on x86-64 (KV_KERNEL_AVX2 and KV_KERNEL_AVX512 are
// set for the files that need to know, by cmake/sources.cmake); for Windows
// only where the assembler turns every aligned vector move into an
// unaligned one, as MinGW's GCC may spill 32 and 64-byte vectors to a stack
// that is only 16-byte aligned.
// Each module takes its widest kernel at or below the active set.
#pragma once

#include <atomic>
#include <cstdint>

enum KernelSet : int32_t {
    KERNEL_SCALAR = 0,
    KERNEL_SSE2 = 1,
    KERNEL_SSSE3 = 2,
    KERNEL_AVX2 = 3,
    KERNEL_AVX512 = 4,
    KERNEL_SET_COUNT = 5
};

// The active set, -1 until first asked.  Racing first callers compute the
// same answer.
extern std::atomic<int32_t> kernelActiveSet;

// Asks the processor (and, in the testable build, the environment variable
// KVINIT64_KERNEL, a set's name) and stores the answer.
KernelSet kernelAsk();

// The active set: one relaxed load per call once asked (a function-local
// static would cost a guard check on every line).
inline KernelSet kernelSet() {
    const int32_t set = kernelActiveSet.load(std::memory_order_relaxed);
    return set < 0 ? kernelAsk() : static_cast<KernelSet>(set);
}

// "scalar", "sse2", "ssse3", "avx2" or "avx512"; "?" for anything else.
const char *kernelSetName(KernelSet set);

// Whether this build has the set's code and the processor runs it.
bool kernelSetRuns(KernelSet set);

#ifdef KVINIT64_TESTABLE
// Makes the named set the active one, for tests that hold every kernel to
// the same results; a null name goes back to the processor's widest.
// Returns 0, or 11 (nothing changed) for an unknown name or a set that
// kernelSetRuns refuses.
uint32_t kernelForce(const char *name);
#endif
