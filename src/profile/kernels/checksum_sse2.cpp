// The checksum's gathering of weighted bytes, 16 at a time with SSE2.
#include "profile/kernels/checksum_kernels.h"

#if defined(__SSE2__)
#include <cstdint>
#include <cstring>
#include <emmintrin.h>

namespace {

constexpr uint32_t LANES = 16;

// Appends the bytes of one block that are not blanks, of its first `valid`
// bytes (1 to 16), at out; returns the new end.  Each run between blanks is
// copied with one 16-byte store (the next store overwrites what it wrote
// past the run), so a block costs a few instructions per blank, not per
// byte.  Reads 16 bytes from each run's start: up to block + 31.
unsigned char *gatherBlock(unsigned char *out, const unsigned char *block, uint32_t valid) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
    auto blanks =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
    // A blank past the valid bytes ends the last run there.
    blanks = (blanks & ((1u << valid) - 1)) | (1u << valid);
    // Up to four blanks without a branch per run (the common case: one
    // blank in eight bytes); a run after the last valid byte adds nothing.
    uint32_t from = 0;
    // Copies the run up to the next blank and steps past that blank.
    auto takeRun = [&]() {
        auto at = static_cast<uint32_t>(__builtin_ctz(blanks));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + from)));
        out += at - from;
        from = at + (at < valid ? 1u : 0u);
        blanks &= blanks - 1;
        blanks |= 1u << valid;
    };
    for (int run = 0; run < 5; ++run) takeRun();
    while (from < valid) takeRun();
    return out;
}

} // namespace

unsigned char *checksumGatherSse2(unsigned char *out, const unsigned char *text, size_t length) {
    size_t i = 0;
    for (; i + 2 * LANES <= length; i += LANES) out = gatherBlock(out, text + i, LANES);
    // The last bytes go through a copy, so that no read passes the text.
    if (i < length) {
        alignas(16) unsigned char tail[3 * LANES] = {};
        size_t rest = length - i;
        std::memcpy(tail, text + i, rest);
        for (size_t b = 0; b < rest; b += LANES)
            out = gatherBlock(out, tail + b,
                              static_cast<uint32_t>(rest - b < LANES ? rest - b : LANES));
    }
    return out;
}

#endif
