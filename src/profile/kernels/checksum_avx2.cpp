// The checksum's segment sums with AVX2, two segments per 32-byte vector.
// This file is compiled with AVX2 where the build has the kernel
// (KV_KERNEL_AVX2, see dispatch.h) and is empty elsewhere; its code runs
// only after the dispatch found AVX2.  It calls no inline function of a
// shared header, so nothing compiled here is used by another file.
#include "profile/kernels/checksum_kernels.h"

#if defined(KV_KERNEL_AVX2)
#include <immintrin.h>

namespace {

constexpr uint32_t PERIOD = PROFILE_CHECKSUM_MIX_PERIOD;
constexpr uint32_t LANES = 16;
// A group is four segments, 56 bytes; a cycle of 200 weights is four
// groups, the last of segments 12 to 14 and an empty one.
constexpr uint32_t GROUP_SEGMENTS = 4;
constexpr uint32_t GROUPS = CHECKSUM_SUMS_PER_CYCLE / GROUP_SEGMENTS;
constexpr size_t GROUP_BYTES = GROUP_SEGMENTS * PERIOD;

// A pair of segments is one vector, each segment's 16 bytes from its start
// in its own 128-bit lane; widened to words, the low vector holds bytes 0 to
// 7 of both and the high one bytes 8 to 15.  The weights match: per group,
// pair and half, the first segment's eight in the low lane, the second's in
// the high one; 0 past a segment's end, where the next one's bytes lie.
struct PairWeights {
    alignas(32) int16_t weight[GROUPS][2][2][LANES];
};
constexpr PairWeights WEIGHTS = [] {
    PairWeights table{};
    for (uint32_t group = 0; group < GROUPS; ++group)
        for (uint32_t pair = 0; pair < 2; ++pair)
            for (uint32_t half = 0; half < 2; ++half)
                for (uint32_t lane = 0; lane < LANES; ++lane) {
                    const uint32_t segment = GROUP_SEGMENTS * group + 2 * pair + lane / 8;
                    const uint32_t j = 8 * half + lane % 8;
                    const uint32_t p = PERIOD * segment + j;
                    if (j < PERIOD && p < PROFILE_CHECKSUM_WEIGHTS)
                        table.weight[group][pair][half][lane] =
                            static_cast<int16_t>(profileChecksumWeights[p]);
                }
    return table;
}();

// The weighted sums of the pair of segments from bytes, four 32-bit parts of
// the first segment's in the low lane and of the second's in the high one.
[[gnu::always_inline]] inline __m256i pairParts(const unsigned char *bytes,
                                                const int16_t (*weight)[LANES]) {
    __m256i data = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + PERIOD)), 1);
    // The value of every byte at once: 33 to 126 lose 32 (0 stays 0).
    const __m256i fromFirst = _mm256_sub_epi8(data, _mm256_set1_epi8(33));
    const __m256i graphic =
        _mm256_cmpeq_epi8(_mm256_min_epu8(fromFirst, _mm256_set1_epi8(126 - 33)), fromFirst);
    data = _mm256_sub_epi8(data, _mm256_and_si256(graphic, _mm256_set1_epi8(32)));
    const __m256i zero = _mm256_setzero_si256();
    const auto *w = reinterpret_cast<const __m256i *>(weight);
    return _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi8(data, zero), w[0]),
                            _mm256_madd_epi16(_mm256_unpackhi_epi8(data, zero), w[1]));
}

} // namespace

void checksumSegmentSumsAvx2(uint32_t *sums, const unsigned char *bytes, size_t count) {
    size_t start = 0;
    for (uint32_t group = 0; start <= count; sums += GROUP_SEGMENTS) {
        const __m256i first = pairParts(bytes + start, WEIGHTS.weight[group][0]);
        const __m256i second = pairParts(bytes + start + 2 * PERIOD, WEIGHTS.weight[group][1]);
        // Low lane: segment 0 twice then 2 twice; high lane: 1, then 3.
        __m256i folded = _mm256_hadd_epi32(first, second);
        folded = _mm256_hadd_epi32(folded, folded);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(sums),
                         _mm_unpacklo_epi32(_mm256_castsi256_si128(folded),
                                            _mm256_extracti128_si256(folded, 1)));
        if (++group < GROUPS) {
            start += GROUP_BYTES;
        } else {
            group = 0;
            start += PROFILE_CHECKSUM_WEIGHTS - (GROUPS - 1) * GROUP_BYTES;
        }
    }
}

#endif
