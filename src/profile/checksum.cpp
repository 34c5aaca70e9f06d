#include "profile/checksum.h"

#include "profile/fail.h"
#include "profile/kernels/checksum_kernels.h"
#include "profile/kernels/dispatch.h"
#include "profile/list_walk.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr uint32_t MIX_PERIOD = PROFILE_CHECKSUM_MIX_PERIOD;
constexpr uint32_t TRANSFORM_MODULUS = 99;
constexpr uint32_t ROTATION_MODULUS = 13;

// Chosen for speed.  The checksum runs in two passes over a text: the bytes
// that take a weight (every byte but the blank) are first gathered into a
// buffer, then summed one segment of weights at a time.  The 200 weights fall
// into 15 segments, 14 of 14 weights (each ends in a mixing step) and a last
// one of 4 (it ends in the wrap to weight 0, without mixing).  Within a
// segment the order of the additions does not matter, so each is one
// multiply-add over 16 lanes, with the weights past the segment's end at 0.
// Only the mixing depends on the segment before; with AVX-512 the sums of
// all segments of a pass are taken first, four at a time, and a short text
// is gathered and summed in registers (kernels/checksum_avx512.cpp).
constexpr uint32_t SEGMENTS = (PROFILE_CHECKSUM_WEIGHTS + MIX_PERIOD - 1) / MIX_PERIOD;
constexpr uint32_t LANES = 16;
struct SegmentWeights {
    alignas(16) int16_t weight[SEGMENTS][LANES];
};
constexpr SegmentWeights SEGMENT_WEIGHTS = [] {
    SegmentWeights table{};
    for (uint32_t p = 0; p < PROFILE_CHECKSUM_WEIGHTS; ++p)
        table.weight[p / MIX_PERIOD][p % MIX_PERIOD] =
            static_cast<int16_t>(profileChecksumWeights[p]);
    return table;
}();

// The counted bytes gathered per pass: a whole number of weight cycles, so
// that each pass starts at weight 0, and room for the longest key text.
constexpr size_t BATCH = 24 * PROFILE_CHECKSUM_WEIGHTS;
static_assert(BATCH >= PROFILE_KEY_NAME_SIZE + PROFILE_VALUE_SIZE);

// Sum of weight times value over one segment of gathered bytes (zero bytes,
// the padding after the last one, add nothing).  A byte's value is itself
// less 32 for 33 to 126, else itself.  With Simd, one SSE2 multiply-add over
// the 16 lanes (SSE2 is part of every x86-64 processor, so it needs no kernel
// file of its own); without, the reference.
template <bool Simd>
[[gnu::always_inline]] inline uint32_t segmentSum(const unsigned char *bytes,
                                                  const int16_t *weights) {
#if defined(__SSE2__)
    if constexpr (Simd) {
        const __m128i zero = _mm_setzero_si128();
        __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
        // The value of every byte at once, before widening: 33 to 126 lose 32.
        __m128i fromFirst = _mm_sub_epi8(data, _mm_set1_epi8(33));
        __m128i graphic =
            _mm_cmpeq_epi8(_mm_min_epu8(fromFirst, _mm_set1_epi8(126 - 33)), fromFirst);
        data = _mm_sub_epi8(data, _mm_and_si128(graphic, _mm_set1_epi8(32)));
        const auto *w = reinterpret_cast<const __m128i *>(weights);
        __m128i sum = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(data, zero), w[0]),
                                    _mm_madd_epi16(_mm_unpackhi_epi8(data, zero), w[1]));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
    }
#endif
    uint32_t sum = 0;
    for (uint32_t i = 0; i < LANES; ++i) {
        uint32_t x = bytes[i];
        uint32_t v = x - ((x - 33u < 94u) ? 32u : 0u);
        sum += static_cast<uint32_t>(weights[i]) * v;
    }
    return sum;
}

// What the mixing carries from one segment to the next.
struct Chain {
    uint32_t sum = 0;
    uint32_t rotation = 1;
    uint32_t offset; // transform parameter mod 99
};

// The running state of one checksum across passes.
struct ChecksumState {
    KernelSet set = kernelSet();
    Chain chain;
    size_t count = 0; // bytes gathered for the current pass
    alignas(64) unsigned char gathered[BATCH + CHECKSUM_GATHER_SLACK];
};

// The next rotation: NEXT_ROTATION.after[offset mod 13][rotation] is
// (rotation * offset) mod 13 + 1.  Chosen for speed: a load in place of a
// multiplication and a division in every mixing step.
constexpr auto NEXT_ROTATION = [] {
    struct Table {
        uint8_t after[ROTATION_MODULUS][ROTATION_MODULUS + 1];
    } table{};
    for (uint32_t o = 0; o < ROTATION_MODULUS; ++o)
        for (uint32_t r = 0; r <= ROTATION_MODULUS; ++r)
            table.after[o][r] = static_cast<uint8_t>((r * o) % ROTATION_MODULUS + 1);
    return table;
}();

// The mixing rotation of the sum within its significant bits (at least 2),
// as profileChecksumRotate does it, without its branches in the common case
// (a count below the width).  Chosen for speed: everything is taken from the
// count of leading zeros, so few steps wait for the sum.
// `next` is the row of NEXT_ROTATION for the transform parameter.
[[gnu::always_inline]] inline uint32_t mix(uint32_t sum, uint32_t &rotation, const uint8_t *next) {
    rotation = next[rotation];
    const auto zeros = static_cast<uint32_t>(std::countl_zero(sum));
    if (rotation + zeros >= 32) {
        const uint32_t width = 32 - zeros;
        return profileChecksumRotate(sum, rotation, width < 2 ? 2 : width);
    }
    const uint64_t wide = static_cast<uint64_t>(sum) << rotation;
    const uint64_t kept = wide & (uint64_t{0xFFFFFFFFu} >> zeros); // its low `width` bits
    return static_cast<uint32_t>(kept | ((wide << zeros) >> 32));  // and those above them
}

constexpr uint32_t LAST = SEGMENTS - 1; // the segment of 4 that wraps to weight 0

// The weighted sum of the segment at gathered[at], taken as the mixing
// reaches it (with Simd, through SSE2; without, the reference).
template <bool Simd> struct SegmentByStep {
    const unsigned char *gathered;
    [[gnu::always_inline]] uint32_t operator()(size_t at, uint32_t segment) {
        return segmentSum<Simd>(gathered + at, SEGMENT_WEIGHTS.weight[segment]);
    }
};

// The weighted sum of each segment, read from those a wide kernel took of
// the whole pass beforehand (checksum_kernels.h gives their layout).
struct SegmentFromSums {
    const uint32_t *cycle; // the sums of the current cycle of 200 weights
    [[gnu::always_inline]] uint32_t operator()(size_t, uint32_t segment) {
        uint32_t sum = cycle[segment];
        if (segment == LAST) cycle += CHECKSUM_SUMS_PER_CYCLE;
        return sum;
    }
};

// Adds `count` gathered bytes to the chain's sum, segment by segment, the
// segment sums taken by `sumOf` (given where a segment starts and which of
// the cycle it is).  Every pass but the last holds whole
// cycles of 200 weights.
template <typename Segments>
[[gnu::always_inline]] inline void sumSegments(Chain &chain, size_t count, Segments sumOf) {
    constexpr uint32_t LAST_LENGTH = PROFILE_CHECKSUM_WEIGHTS - MIX_PERIOD * LAST;
    const uint32_t offset = chain.offset;
    const uint32_t segmentOffset = MIX_PERIOD * offset;
    const uint8_t *next = NEXT_ROTATION.after[offset % ROTATION_MODULUS];
    uint32_t sum = chain.sum;
    uint32_t rotation = chain.rotation; // kept in a register through the chain
    size_t i = 0;
    uint32_t segment = 0;
    for (;;) {
        // The mixing segments of one cycle, while whole ones remain.
        for (; segment < LAST && i + MIX_PERIOD <= count; ++segment, i += MIX_PERIOD) {
            sum += sumOf(i, segment) - segmentOffset;
            sum = mix(sum, rotation, next);
        }
        if (segment < LAST || i + LAST_LENGTH > count) break;
        sum += sumOf(i, LAST) - LAST_LENGTH * offset;
        i += LAST_LENGTH;
        segment = 0;
    }
    // The text ends inside this segment (or at its start).
    sum += sumOf(i, segment) - static_cast<uint32_t>(count - i) * offset;
    chain.sum = sum;
    chain.rotation = rotation;
}

#if defined(KV_KERNEL_AVX512)
// The mixing over segment sums the AVX-512 kernels took, compiled for the
// instructions that shorten its chain of steps (a count of leading zeros,
// and shifts by a count in a register, in one step each).  Runs only where
// the avx512 set does, which asks for LZCNT and BMI2; what it calls and does
// not inline keeps its code for every processor.
[[gnu::target("lzcnt,bmi2")]] [[gnu::noinline]] void mixWide(Chain &chain, size_t count,
                                                             const uint32_t *sums) {
    sumSegments(chain, count, SegmentFromSums{sums});
}

// mixWide for a short text: fewer weights than a cycle, so only mixing
// segments and the one the text ends in; the loop does nothing else.
[[gnu::target("lzcnt,bmi2")]] [[gnu::noinline]] uint32_t mixShort(uint32_t offset, size_t count,
                                                                  const uint32_t *sums) {
    static_assert(CHECKSUM_SHORT_TEXT < MIX_PERIOD * LAST);
    const uint32_t segmentOffset = MIX_PERIOD * offset;
    const uint8_t *next = NEXT_ROTATION.after[offset % ROTATION_MODULUS];
    const auto mixing = static_cast<uint32_t>(count / MIX_PERIOD);
    uint32_t sum = 0;
    uint32_t rotation = 1;
    for (uint32_t segment = 0; segment < mixing; ++segment)
        sum = mix(sum + sums[segment] - segmentOffset, rotation, next);
    return sum + sums[mixing] - static_cast<uint32_t>(count - MIX_PERIOD * mixing) * offset;
}

// Room for the segment sums of a whole pass, and of the empty segment after
// it.
constexpr size_t PASS_SUMS = (BATCH / PROFILE_CHECKSUM_WEIGHTS + 1) * CHECKSUM_SUMS_PER_CYCLE;
#endif

// Adds the gathered bytes to the sum and empties the buffer.
void sumGathered(ChecksumState &state) {
    const size_t count = state.count;
    state.count = 0;
#if defined(KV_KERNEL_AVX512)
    if (state.set >= KERNEL_AVX512) {
        uint32_t sums[PASS_SUMS];
        checksumSegmentSumsAvx512(sums, state.gathered, count);
        mixWide(state.chain, count, sums);
        return;
    }
#endif
    // The lanes past the end add nothing.
    std::memset(state.gathered + count, 0, LANES);
    if (state.set >= KERNEL_SSE2)
        sumSegments(state.chain, count, SegmentByStep<true>{state.gathered});
    else
        sumSegments(state.chain, count, SegmentByStep<false>{state.gathered});
}

// Appends the bytes of text[0..length) that are not blanks to the gathered
// bytes through the widest kernel the active set allows; the buffer has room
// for them and CHECKSUM_GATHER_SLACK bytes more.
void gather(ChecksumState &state, const unsigned char *text, size_t length) {
    unsigned char *out = state.gathered + state.count;
#if defined(KV_KERNEL_AVX512)
    if (state.set >= KERNEL_AVX512) {
        out = checksumGatherAvx512(out, text, length);
    } else
#endif
#if defined(__SSE2__)
        if (state.set >= KERNEL_SSSE3) {
        out = checksumGatherSsse3(out, text, length);
    } else if (state.set >= KERNEL_SSE2) {
        out = checksumGatherSse2(out, text, length);
    } else
#endif
    {
        // The reference, branch-free: every byte is stored, only a
        // non-blank one is kept.
        for (size_t i = 0; i < length; ++i) {
            *out = text[i];
            out += text[i] != ' ';
        }
    }
    state.count = static_cast<size_t>(out - state.gathered);
}

// Gathers the bytes of text that take a weight, summing whenever the buffer
// holds a whole pass.
void feed(ChecksumState &state, const char *text, size_t length) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (length > 0) {
        size_t room = BATCH - state.count; // at least this many bytes fit
        size_t take = length < room ? length : room;
        gather(state, p, take);
        p += take;
        length -= take;
        if (state.count == BATCH) sumGathered(state);
    }
}

uint32_t finish(ChecksumState &state) {
    sumGathered(state);
    return state.chain.sum;
}

} // namespace

uint32_t profileChecksumRotate(uint32_t value, uint32_t count, uint32_t width) {
    if (width < 2 || width > 32) return value;
    if (count >= width) count %= width;
    if (count == 0) return value;
    if (width == 32) return std::rotl(value, static_cast<int>(count));
    return ((value << count) | (value >> (width - count))) & ((1u << width) - 1);
}

uint32_t profileLineChecksum(const char *text, uint32_t transform) {
    if (text == nullptr) return 0;
    return profileTextChecksum(text, std::strlen(text), transform);
}

uint32_t profileTextChecksum(const char *text, size_t length, uint32_t transform) {
    if (text == nullptr) return 0;
#if defined(KV_KERNEL_AVX512)
    // A short text (a common key line) in one step, its bytes never stored:
    // chosen for speed.
    if (length <= CHECKSUM_SHORT_TEXT && kernelSet() >= KERNEL_AVX512) {
        uint32_t sums[CHECKSUM_SHORT_SUMS];
        const size_t count =
            checksumShortSumsAvx512(sums, reinterpret_cast<const unsigned char *>(text), length);
        return mixShort(transform % TRANSFORM_MODULUS, count, sums);
    }
#endif
    ChecksumState s;
    s.chain.offset = transform % TRANSFORM_MODULUS;
    feed(s, text, length);
    return finish(s);
}

uint32_t profileKeyChecksum(ErrCollector *collector, const ProfileKey *key, uint32_t transform,
                            uint32_t *checksum) {
    if (checksum != nullptr) *checksum = 0;
    if (key == nullptr || checksum == nullptr) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    const char *name = profileKeyName(key);
    const char *value = profileKeyValue(key);
    *checksum = profileKeyTextChecksum(name, static_cast<size_t>(value - 1 - name), value,
                                       std::strlen(value), transform);
    return 0;
}

uint32_t profileKeyTextChecksum(const char *name, size_t nameLength, const char *value,
                                size_t valueLength, uint32_t transform) {
    // The same as the checksum of the text "name=value", without building it.
    ChecksumState s;
    s.chain.offset = transform % TRANSFORM_MODULUS;
    feed(s, name, nameLength);
    if (s.count == BATCH) sumGathered(s);
    s.gathered[s.count++] = '='; // counted, as every byte but the blank
    feed(s, value, valueLength);
    return finish(s);
}

uint32_t profileSectionChecksum(ErrCollector *collector, uint32_t transform,
                                ProfileSection *section) {
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    const ProfileSectionDetail *detail = profileSectionDetail(section);
    if (profileSectionSharesDetail(section)) {
        section->checksum = 0; // no keys: the sum is 0 under every transform
        return 0;
    }
    if (detail->checksumKnown != 0 && detail->checksumTransform == transform)
        return 0; // the keys have not changed since their sum was taken
    uint32_t sum = 0;
    uint32_t status = profileWalk(collector, profileSectionKeys(section), [&](void *element) {
        uint32_t checksum = 0;
        uint32_t keyStatus =
            profileKeyChecksum(collector, static_cast<ProfileKey *>(element), transform, &checksum);
        sum += checksum;
        return keyStatus;
    });
    if (status != 0) return status;
    profileSetKnownChecksum(section, sum, transform);
    return 0;
}

void profileSetKnownChecksum(ProfileSection *section, uint32_t sum, uint32_t transform) {
    section->checksum = sum;
    // A section without a detail of its own has no keys, whose sum is known
    // under every transform.
    ProfileSectionDetail *detail = profileSectionOwnedDetail(section);
    if (detail == nullptr) return;
    detail->checksumKnown = 1;
    detail->checksumTransform = transform;
}

uint32_t profileSetChecksum(ErrCollector *collector, ProfileSection *section, uint32_t sum) {
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    section->checksum = sum;
    // Without a detail of its own the section's sum is taken again anyway.
    ProfileSectionDetail *detail = profileSectionOwnedDetail(section);
    if (detail != nullptr) detail->checksumKnown = 0;
    return 0;
}
