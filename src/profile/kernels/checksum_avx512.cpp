// The checksum's gathering and segment sums in blocks of 64 bytes with
// AVX-512 (BW for the byte lanes, VBMI for the byte permute, VBMI2 for the
// compress).  This file is compiled with those instruction sets where the
// build has the kernel (KV_KERNEL_AVX512, see dispatch.h) and is empty
// elsewhere; its code runs only after the dispatch found them.  It calls no
// inline function of a shared header, so nothing compiled here is used by
// another file.
#include "profile/kernels/checksum_kernels.h"

#if defined(KV_KERNEL_AVX512)
#include <immintrin.h>

namespace {

constexpr size_t BLOCK = 64;
constexpr uint32_t PERIOD = PROFILE_CHECKSUM_MIX_PERIOD;
constexpr uint32_t SEGMENTS = (PROFILE_CHECKSUM_WEIGHTS + PERIOD - 1) / PERIOD; // per cycle
// A group is four segments, 56 bytes, summed from one 64-byte load; a cycle
// of 200 weights is four groups, the last of segments 12 to 14 and an
// empty one.
constexpr uint32_t GROUP_SEGMENTS = 4;
constexpr uint32_t GROUPS = CHECKSUM_SUMS_PER_CYCLE / GROUP_SEGMENTS;
constexpr size_t GROUP_BYTES = GROUP_SEGMENTS * PERIOD;
static_assert(GROUPS * GROUP_SEGMENTS >= SEGMENTS && GROUP_BYTES <= BLOCK);

// A group's bytes are laid out as 64 words in two vectors, byte j (0 to 15,
// 14 and 15 always zero) of segment s at word 2 * (4 * (j / 2) + s) + j % 2,
// so that after the multiply-add of word pairs, 32-bit lane d holds a part
// of segment d % 4's sum: the four sums are then the four 128-bit quarters
// added together.  The first vector holds bytes 0 to 7 of every segment, the
// second bytes 8 to 15.
constexpr uint32_t laneSegment(uint32_t word) { return (word / 2) % GROUP_SEGMENTS; }
constexpr uint32_t laneByte(uint32_t word) { return 2 * (word / 2 / GROUP_SEGMENTS) + word % 2; }

struct GroupLayout {
    alignas(BLOCK) unsigned char index[2][BLOCK]; // byte permute: source byte of each
    uint64_t keep[2];                             // which bytes the permute fills
    alignas(BLOCK) int16_t weight[GROUPS][2][BLOCK / 2];
};
constexpr GroupLayout LAYOUT = [] {
    GroupLayout layout{};
    for (uint32_t half = 0; half < 2; ++half) {
        for (uint32_t b = 0; b < BLOCK; ++b) {
            const uint32_t word = half * (BLOCK / 2) + b / 2;
            const uint32_t j = laneByte(word);
            if (b % 2 != 0 || j >= PERIOD) continue; // the high byte of each word is 0
            layout.index[half][b] = static_cast<unsigned char>(PERIOD * laneSegment(word) + j);
            layout.keep[half] |= uint64_t{1} << b;
        }
        for (uint32_t group = 0; group < GROUPS; ++group) {
            for (uint32_t w = 0; w < BLOCK / 2; ++w) {
                const uint32_t word = half * (BLOCK / 2) + w;
                const uint32_t p =
                    PERIOD * (GROUP_SEGMENTS * group + laneSegment(word)) + laneByte(word);
                // Weights past the table (past the last segment's four) are
                // 0: the bytes under them belong to the next cycle.
                if (laneByte(word) < PERIOD && p < PROFILE_CHECKSUM_WEIGHTS)
                    layout.weight[group][half][w] = static_cast<int16_t>(profileChecksumWeights[p]);
            }
        }
    }
    return layout;
}();

// 0 to 63: the position of each lane in a block.
struct BlockLanes {
    alignas(BLOCK) unsigned char bytes[BLOCK];
};
constexpr BlockLanes LANE_NUMBERS = [] {
    BlockLanes table{};
    for (size_t i = 0; i < BLOCK; ++i) table.bytes[i] = static_cast<unsigned char>(i);
    return table;
}();

// All bits of a mask for the first `count` bytes of a block (up to 64).
__mmask64 firstBytes(size_t count) {
    return count >= BLOCK ? ~__mmask64{0} : _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(count));
}

// The value of every byte at once: 33 to 126 lose 32 (0 stays 0).
[[gnu::always_inline]] inline __m512i byteValues(__m512i bytes) {
    const __mmask64 graphic = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(33)),
                                                     _mm512_set1_epi8(126 - 33 + 1));
    return _mm512_mask_sub_epi8(bytes, graphic, bytes, _mm512_set1_epi8(32));
}

// The parts of the sums of the four segments of group `group` of a cycle
// from `values`, the values of the group's bytes (0 past the last): the sum
// of segment s is that of 32-bit lane s of the four 128-bit quarters.
[[gnu::always_inline]] inline __m512i groupParts(__m512i values, uint32_t group) {
    const __m512i low =
        _mm512_maskz_permutexvar_epi8(LAYOUT.keep[0], _mm512_load_si512(LAYOUT.index[0]), values);
    const __m512i high =
        _mm512_maskz_permutexvar_epi8(LAYOUT.keep[1], _mm512_load_si512(LAYOUT.index[1]), values);
    return _mm512_add_epi32(_mm512_madd_epi16(low, _mm512_load_si512(LAYOUT.weight[group][0])),
                            _mm512_madd_epi16(high, _mm512_load_si512(LAYOUT.weight[group][1])));
}

// Quarters q and r of a and quarters s and t of b (_MM_SHUFFLE order).
template <int Q, int R, int S, int T>
[[gnu::always_inline]] inline __m512i quarters(__m512i a, __m512i b) {
    return _mm512_maskz_shuffle_i64x2(0xFF, a, b, _MM_SHUFFLE(T, S, R, Q));
}

// Stores the four sums of one group's parts.
[[gnu::always_inline]] inline void storeGroupSums(uint32_t *sums, __m512i parts) {
    const __m256i half = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, parts, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, parts, 1));
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(sums),
        _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1)));
}

// Stores the sums of three groups' parts, then those of the third again:
// the quarters of all three added together in one go.
[[gnu::always_inline]] inline void storeThreeGroupSums(uint32_t *sums, __m512i first,
                                                       __m512i second, __m512i third) {
    // Quarters 0+2 and 1+3 of the first, then of the second; of the third
    // twice over.
    const __m512i pairs =
        _mm512_add_epi32(quarters<0, 1, 0, 1>(first, second), quarters<2, 3, 2, 3>(first, second));
    const __m512i last = _mm512_add_epi32(third, quarters<2, 3, 0, 1>(third, third));
    _mm512_storeu_si512(sums, _mm512_add_epi32(quarters<0, 2, 0, 0>(pairs, last),
                                               quarters<1, 3, 1, 1>(pairs, last)));
}

// The bytes of the join of two compressed blocks (first, of `count0`
// bytes, then second) from position `from` on, 0 from `count` on.
[[gnu::always_inline]] inline __m512i joinedFrom(__m512i first, __m512i second, unsigned count0,
                                                 size_t count, unsigned from) {
    // Lane i takes byte from + i of the first block, or past its end byte
    // from + i - count0 of the second (index bit 6 picks the block).
    const __m512i position = _mm512_add_epi8(_mm512_load_si512(LANE_NUMBERS.bytes),
                                             _mm512_set1_epi8(static_cast<char>(from)));
    const __mmask64 inSecond =
        _mm512_cmpge_epu8_mask(position, _mm512_set1_epi8(static_cast<char>(count0)));
    const __m512i index = _mm512_mask_add_epi8(position, inSecond, position,
                                               _mm512_set1_epi8(static_cast<char>(BLOCK - count0)));
    return _mm512_maskz_permutex2var_epi8(firstBytes(count > from ? count - from : 0), first, index,
                                          second);
}

} // namespace

unsigned char *checksumGatherAvx512(unsigned char *out, const unsigned char *text, size_t length) {
    const __m512i blank = _mm512_set1_epi8(' ');
    for (size_t i = 0; i < length; i += BLOCK) {
        // A masked load reads nothing past the text; the compress goes
        // through a register (its store form is slow on some processors).
        const __mmask64 valid = firstBytes(length - i);
        const __m512i bytes = _mm512_maskz_loadu_epi8(valid, text + i);
        const __mmask64 keep = _mm512_mask_cmpneq_epi8_mask(valid, bytes, blank);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
        out += _mm_popcnt_u64(keep);
    }
    return out;
}

void checksumSegmentSumsAvx512(uint32_t *sums, const unsigned char *bytes, size_t count) {
    size_t start = 0;
    for (uint32_t group = 0; start <= count; sums += GROUP_SEGMENTS) {
        storeGroupSums(sums, groupParts(byteValues(_mm512_maskz_loadu_epi8(
                                            firstBytes(count - start), bytes + start)),
                                        group));
        if (++group < GROUPS) {
            start += GROUP_BYTES;
        } else {
            group = 0;
            start += PROFILE_CHECKSUM_WEIGHTS - (GROUPS - 1) * GROUP_BYTES;
        }
    }
}

// Two blocks, each compressed on its own, then each group's bytes taken
// from both in one permute: no store, so no load waits for one, and no
// branch but the one for a third group.
size_t checksumShortSumsAvx512(uint32_t *sums, const unsigned char *text, size_t length) {
    static_assert(CHECKSUM_SHORT_TEXT == 2 * BLOCK && CHECKSUM_SHORT_SUMS == 4 * GROUP_SEGMENTS);
    const __m512i blank = _mm512_set1_epi8(' ');
    const __mmask64 valid0 = firstBytes(length);
    const __mmask64 valid1 = firstBytes(length < BLOCK ? 0 : length - BLOCK);
    const __m512i bytes0 = _mm512_maskz_loadu_epi8(valid0, text);
    // (A text of one block loads nothing for the second: from its own start,
    // so that no pointer passes its end.)
    const __m512i bytes1 = _mm512_maskz_loadu_epi8(valid1, text + (length < BLOCK ? 0 : BLOCK));
    const __mmask64 keep0 = _mm512_mask_cmpneq_epi8_mask(valid0, bytes0, blank);
    const __mmask64 keep1 = _mm512_mask_cmpneq_epi8_mask(valid1, bytes1, blank);
    const __m512i packed0 = _mm512_maskz_compress_epi8(keep0, byteValues(bytes0));
    const __m512i packed1 = _mm512_maskz_compress_epi8(keep1, byteValues(bytes1));
    const auto count0 = static_cast<unsigned>(_mm_popcnt_u64(keep0));
    const size_t count = count0 + static_cast<size_t>(_mm_popcnt_u64(keep1));
    // The third group only where a text reaches it (most key lines do not).
    const __m512i third =
        count > 2 * GROUP_BYTES
            ? groupParts(joinedFrom(packed0, packed1, count0, count, 2 * GROUP_BYTES), 2)
            : _mm512_setzero_si512();
    storeThreeGroupSums(sums, groupParts(joinedFrom(packed0, packed1, count0, count, 0), 0),
                        groupParts(joinedFrom(packed0, packed1, count0, count, GROUP_BYTES), 1),
                        third);
    return count;
}

#endif
