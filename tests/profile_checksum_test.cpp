// Line, key and section checksums.
#include "profile/checksum.h"
#include "support/collector_fixture.h"
#include "support/kernel_sets.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// Every kernel that gathers and sums the bytes: byte by byte, SSE2, the
// SSSE3 byte shuffle (also under avx2), and the AVX-512 compress and segment
// sums, of a whole pass and of a short text in registers.
using ChecksumPaths = KernelSetTest;
INSTANTIATE_TEST_SUITE_P(Kernels, ChecksumPaths,
                         testing::Values("scalar", "sse2", "ssse3", "avx2", "avx512"),
                         kernelParamName);

// The checksum as its definition reads, one bit of rotation at a time.
uint32_t referenceChecksum(const std::string &text, uint32_t transform) {
    uint32_t m = transform % 99, sum = 0, p = 0, r = 1;
    for (unsigned char x : text) {
        if (x == ' ') continue;
        uint32_t v = (x >= 33 && x <= 126) ? x - 32u : x;
        if (p == 200) p = 0;
        sum += profileChecksumWeights[p++] * v - m;
        if (p % 14 == 0) {
            uint32_t k = 0;
            while (k < 32 && (sum >> k) != 0) ++k;
            if (k < 2) k = 2;
            r = (r * m) % 13 + 1;
            for (uint32_t i = 0; i < r; ++i) {
                uint32_t out = (sum >> (k - 1)) & 1u;
                sum <<= 1;
                if (out != 0) {
                    if (k < 32) sum &= ~(1u << k);
                    sum |= 1u;
                }
            }
        }
    }
    return sum;
}

std::string randomText(std::mt19937 &rng, size_t length) {
    std::uniform_int_distribution<int> byte(1, 255), pick(0, 3);
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += static_cast<char>(pick(rng) == 0 ? ' ' : byte(rng)); // plenty of blanks
    }
    return text;
}

TEST(ProfileChecksum, WeightsAreThePrimesFrom97To1423EachOnce) {
    std::vector<int> primes, weights;
    for (int n = 97; n <= 1423; ++n) {
        bool prime = true;
        for (int d = 2; d * d <= n; ++d) prime = prime && n % d != 0;
        if (prime) primes.push_back(n);
    }
    for (uint16_t w : profileChecksumWeights) weights.push_back(w);
    std::sort(weights.begin(), weights.end());
    EXPECT_EQ(weights, primes);
    EXPECT_EQ(profileChecksumWeights[0], 1373);
    EXPECT_EQ(profileChecksumWeights[194], 97);
    EXPECT_EQ(profileChecksumWeights[199], 1423);
}

TEST_P(ChecksumPaths, FixedTexts) {
    const std::string A14(14, 'A'), A15(15, 'A');
    struct Case {
        std::string text;
        uint32_t transform;
        uint32_t expected;
    } cases[] = {
        // "a"=65 x 1373, "="=29 x 101, "b"=66 x 103; P mod 99 taken off per byte.
        {"a=b", 0, 98972},
        {"a=b", 98, 98972 - 3 * 98},
        {"a=b", 99, 98972},
        {"a=b", 0xFFFFFFFFu, 98972 - 3 * 3}, // 2^32-1 mod 99 = 3
        // Blanks change nothing, not even the weight position; "d"=68 x 1327.
        {"a=b d", 0, 98972 + 68 * 1327},
        {"a=bd", 0, 98972 + 68 * 1327},
        {" a = b ", 0, 98972},
        // A tab counts with its own value 9; so do DEL, bytes above 127 and
        // other control characters.
        {"a\tb", 0, 65 * 1373 + 9 * 101 + 66 * 103},
        {"\x7f", 0, 127 * 1373},
        {"\xe9", 5, 233 * 1373 - 5},
        {"\x01", 98, 1373 - 98},
        {"", 7, 0},
        {"    ", 7, 0},
        // 14 bytes: 33 x (1373+101+...+167 = 10110) = 333630, 19 bits; with
        // P=0 the rotation count is 1: 333630<<1 = 667260, minus 2^19, plus 1.
        {A14, 0, 142973},
        // P=98: 333630 - 14 x 98 = 332258; rotation count 98 mod 13 + 1 = 8
        // within 19 bits.
        {A14, 98, ((332258u << 8) | (332258u >> 11)) & 0x7FFFFu},
        // 2^32-1: 333630 - 42 = 333588; count 3 mod 13 + 1 = 4 within 19
        // bits; then the 15th byte adds 33 x 1259 - 3.
        {A15, 0xFFFFFFFFu, (((333588u << 4) | (333588u >> 15)) & 0x7FFFFu) + 33 * 1259 - 3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(profileLineChecksum(c.text.c_str(), c.transform), c.expected)
            << "\"" << c.text << "\" P=" << c.transform;
    }
    EXPECT_EQ(profileLineChecksum(nullptr, 1), 0u);
}

TEST_P(ChecksumPaths, LongTextsWrapTheWeightsAndMatchTheReference) {
    // Past 200 weights the table starts again at position 0; past 14 a
    // rotation runs every 14 weights.
    std::string text;
    for (int i = 0; i < 250; ++i) text += static_cast<char>(33 + (i * 7) % 94);
    EXPECT_EQ(profileLineChecksum(text.c_str(), 98), 471759u);
    EXPECT_EQ(profileLineChecksum(text.c_str(), 98), referenceChecksum(text, 98));
}

TEST_P(ChecksumPaths, EqualsTheBitByBitReferenceOnRandomTexts) {
    std::mt19937 rng(20240501);
    std::uniform_int_distribution<uint32_t> any;
    std::uniform_int_distribution<size_t> length(0, 700);
    for (int i = 0; i < 3000; ++i) {
        std::string text = randomText(rng, i % 50 == 0 ? 4561 : length(rng));
        uint32_t transform = i % 4 == 0 ? static_cast<uint32_t>(i % 99) : any(rng);
        ASSERT_EQ(profileLineChecksum(text.c_str(), transform), referenceChecksum(text, transform))
            << "case " << i;
        // A text of known length may run on into other bytes.
        std::string longer = text + "tail";
        ASSERT_EQ(profileTextChecksum(longer.data(), text.size(), transform),
                  referenceChecksum(text, transform))
            << "case " << i;
    }
}

// Every length through a few blocks of 64 and cycles of 200 weights, and
// non-blank counts at a pass of 4,800 and around it: without blanks, with
// blanks at the edges of 16, 32 and 64-byte blocks and of 14-weight
// segments, with runs of them, and with random ones; every byte value turns
// up.  Each under several parameters, among them 0 and the largest.
TEST_P(ChecksumPaths, EveryLengthAndBlockEdgeMatchesTheReference) {
    std::mt19937 rng(25);
    std::uniform_int_distribution<uint32_t> any;
    std::string bytes; // every value but NUL and the blank, in random order
    for (int b = 1; b < 256; ++b)
        if (b != ' ') bytes += static_cast<char>(b);
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 330; ++length) lengths.push_back(length);
    for (size_t length : {4799u, 4800u, 4801u, 9599u, 9600u, 9601u}) lengths.push_back(length);
    auto blankAt = [](size_t i, int pattern) {
        switch (pattern) {
        case 1: // the first and last byte of every 16, 32 and 64-byte block
            return i % 16 == 0 || i % 32 == 31 || i % 64 == 63;
        case 2: // the byte that would end each segment, and runs of 20
            return i % 14 == 13 || (i / 20) % 7 == 3;
        case 3:
            return i % 3 == 0 || i % 7 == 0;
        default:
            return false;
        }
    };
    for (size_t length : lengths) {
        std::shuffle(bytes.begin(), bytes.end(), rng);
        for (int pattern = 0; pattern < 4; ++pattern) {
            std::string text(length, ' ');
            for (size_t i = 0; i < length; ++i)
                if (!blankAt(i, pattern)) text[i] = bytes[i % bytes.size()];
            for (uint32_t transform : {0u, 1u, 2u, 98u, 0xFFFFFFFFu, any(rng)}) {
                ASSERT_EQ(profileTextChecksum(text.data(), text.size(), transform),
                          referenceChecksum(text, transform))
                    << length << " bytes, pattern " << pattern << ", parameter " << transform;
            }
        }
    }
}

// The fast checksum takes its bytes in passes of whole weight cycles: texts
// of every length around a pass, several passes and runs of blanks at the
// seams agree with the reference as well.
TEST_P(ChecksumPaths, TextsLongerThanOnePassMatchTheReference) {
    std::mt19937 rng(7);
    for (size_t length : {4799u, 4800u, 4801u, 6399u, 6401u, 9601u, 20000u}) {
        std::string blanks = randomText(rng, length), none = blanks;
        for (char &c : none) c = c == ' ' ? '_' : c;
        none.replace(length / 2, 40, std::string(40, ' '));
        for (const std::string &text : {blanks, none})
            for (uint32_t transform : {0u, 98u, 0xFFFFFFFFu})
                EXPECT_EQ(profileLineChecksum(text.c_str(), transform),
                          referenceChecksum(text, transform))
                    << length << " bytes, parameter " << transform;
    }
}

TEST(ProfileChecksum, RotationEqualsSingleBitStepsAtEveryWidth) {
    // Wide sums (up to bit 31 set, where it is a plain 32-bit rotation) are
    // rare in real lines, so the rotation is checked on its own.
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> any;
    for (uint32_t width = 2; width <= 32; ++width) {
        for (int i = 0; i < 200; ++i) {
            uint32_t value = any(rng) >> (32 - width);
            if (i == 0) value = width == 32 ? 0x80000001u : (1u << (width - 1));
            for (uint32_t count = 1; count <= 13; ++count) {
                uint32_t expected = value;
                for (uint32_t step = 0; step < count; ++step) {
                    uint32_t out = (expected >> (width - 1)) & 1u;
                    expected <<= 1;
                    if (width < 32) expected &= ~(1u << width);
                    expected |= out;
                }
                ASSERT_EQ(profileChecksumRotate(value, count, width), expected)
                    << value << " by " << count << " in " << width;
            }
        }
    }
}

TEST_P(ChecksumPaths, KeyChecksumIsTheChecksumOfNameEqualsValue) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<uint32_t> any;
    std::uniform_int_distribution<size_t> nameLength(1, 60), valueLength(1, 4500);
    TestCollector collector;
    ProfileArena arena{};
    for (int i = 0; i < 300; ++i) {
        std::string name = randomText(rng, nameLength(rng));
        std::string value = randomText(rng, i % 30 == 0 ? 4500 : valueLength(rng) % 300 + 1);
        ProfileKey *key = nullptr;
        ASSERT_EQ(profileNewKey(collector, &arena, name.c_str(), value.c_str(), &key), 0u);
        uint32_t transform = any(rng), checksum = 1;
        ASSERT_EQ(profileKeyChecksum(collector, key, transform, &checksum), 0u);
        std::string text = name + "=" + value;
        ASSERT_EQ(checksum, profileLineChecksum(text.c_str(), transform)) << i;
    }
    profileArenaFree(&arena);
    uint32_t checksum = 1;
    EXPECT_EQ(profileKeyChecksum(collector, nullptr, 0, &checksum), 11u);
    EXPECT_EQ(checksum, 0u);
    EXPECT_TRUE(collector.holds("(OXB0011)"));
}

TEST(ProfileChecksum, SectionChecksumFollowsNewKeysTransformsAndSetValues) {
    // A section keeps the sum it took; a new key, another transform parameter
    // or a value set from outside makes the next call take it again.
    TestCollector collector;
    ProfileArena arena{};
    ProfileSection *section = nullptr;
    ASSERT_EQ(profileNewSection(collector, &arena, "Main", "1.0", &section), 0u);
    auto add = [&](const char *name, const char *value) {
        ProfileKey *key = nullptr;
        ASSERT_EQ(profileNewKey(collector, &arena, name, value, &key), 0u);
        ASSERT_EQ(profileAddKey(collector, &arena, section, key), 0u);
    };
    auto sum = [](uint32_t transform) {
        return profileLineChecksum("a=first value", transform) +
               profileLineChecksum("b=second", transform);
    };
    add("a", "first value");
    ASSERT_EQ(profileSectionChecksum(collector, 5, section), 0u);
    EXPECT_EQ(section->checksum, profileLineChecksum("a=first value", 5));
    add("b", "second");
    ASSERT_EQ(profileSectionChecksum(collector, 5, section), 0u);
    EXPECT_EQ(section->checksum, sum(5));
    ASSERT_EQ(profileSectionChecksum(collector, 98, section), 0u);
    EXPECT_EQ(section->checksum, sum(98));
    ASSERT_EQ(profileSetChecksum(collector, section, 7), 0u);
    ASSERT_EQ(profileSectionChecksum(collector, 98, section), 0u);
    EXPECT_EQ(section->checksum, sum(98));
    profileArenaFree(&arena);
}

TEST(ProfileChecksum, SectionChecksumIsTheWrappingSumOverItsKeys) {
    TestCollector collector;
    ProfileArena arena{};
    ProfileSection *section = nullptr;
    ASSERT_EQ(profileNewSection(collector, &arena, "Main", "1.0", &section), 0u);
    section->checksum = 5;
    ASSERT_EQ(profileSectionChecksum(collector, 3, section), 0u);
    EXPECT_EQ(section->checksum, 0u); // no keys

    // Long values of high bytes: the sum passes 2^31 and wraps past 2^32.
    const std::string value(4500, '\xfe');
    uint64_t expected = 0;
    for (int i = 0; i < 700; ++i) {
        std::string name = "k" + std::to_string(i);
        ProfileKey *key = nullptr;
        ASSERT_EQ(profileNewKey(collector, &arena, name.c_str(), value.c_str(), &key), 0u);
        ASSERT_EQ(profileAddKey(collector, &arena, section, key), 0u);
        expected += profileLineChecksum((name + "=" + value).c_str(), 0x4B56);
    }
    ASSERT_GT(expected, uint64_t{0xFFFFFFFFu});
    ASSERT_EQ(profileSectionChecksum(collector, 0x4B56, section), 0u);
    EXPECT_EQ(section->checksum, static_cast<uint32_t>(expected));

    EXPECT_EQ(profileSetChecksum(collector, section, 0x80000000u), 0u);
    EXPECT_EQ(section->checksum, 0x80000000u);
    EXPECT_EQ(collector.c->count, 0);
    EXPECT_EQ(profileSectionChecksum(collector, 0, nullptr), 11u);
    EXPECT_EQ(profileSetChecksum(collector, nullptr, 1), 11u);
    EXPECT_TRUE(collector.holds("(OXB0011)"));
    profileArenaFree(&arena);
}

} // namespace
