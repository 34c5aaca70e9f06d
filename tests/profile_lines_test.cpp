// The built-in line encoding and the default stream line functions.
#include "platform/fault.h"
#include "profile/context.h"
#include "profile/linecodec.h"
#include "profile/lineio.h"
#include "profile/linescan.h"
#include "support/fixtures.h"
#include "support/kernel_sets.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// The codec's tests run once per kernel of the decoder and encoder.
using LineCodec = KernelSetTest;
INSTANTIATE_TEST_SUITE_P(Kernels, LineCodec, ::testing::Values("scalar", "sse2", "avx2", "avx512"),
                         kernelParamName);

// A plain line as the writer makes it: bytes 1-255 other than the line feed,
// then one line feed.
std::string randomLine(std::mt19937 &rng, size_t length) {
    std::uniform_int_distribution<int> byte(1, 255);
    std::string line;
    while (line.size() < length) {
        int b = byte(rng);
        if (b != '\n') line += static_cast<char>(b);
    }
    return line + "\n";
}

std::string encode(const std::string &plain, uint32_t transform, uint32_t *status = nullptr) {
    std::vector<char> out(PROFILE_ENCODE_SIZE, 'z');
    uint32_t s = defaultEncodeLine(plain.c_str(), out.data(), PROFILE_ENCODE_SIZE, transform, 0);
    if (status != nullptr) *status = s;
    return s == 0 ? std::string(out.data()) : std::string();
}

std::string decode(const std::string &stored, uint32_t transform) {
    std::vector<char> out(PROFILE_LINE_SIZE, '\0');
    defaultDecodeLine(stored.c_str(), out.data(), PROFILE_LINE_SIZE, transform, 7);
    return std::string(out.data());
}

bool storableAsOneLine(const std::string &stored) {
    if (stored.empty() || stored.back() != '\n') return false;
    for (size_t i = 0; i + 1 < stored.size(); ++i) {
        char c = stored[i];
        if (c == '\0' || c == '\n' || c == '\r' || c == '\x1a') return false;
    }
    return true;
}

TEST_P(LineCodec, RoundTripOverRandomLinesAndParameters) {
    std::mt19937 rng(5150);
    std::uniform_int_distribution<uint32_t> any;
    std::uniform_int_distribution<size_t> length(0, 600);
    size_t plainBytes = 0, storedBytes = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string plain = randomLine(rng, i % 100 == 0 ? 4300 : length(rng));
        uint32_t transform = i == 0 ? PROFILE_DEFAULT_TRANSFORM : any(rng);
        uint32_t status = 1;
        std::string stored = encode(plain, transform, &status);
        ASSERT_EQ(status, 0u) << i;
        ASSERT_TRUE(storableAsOneLine(stored)) << i;
        ASSERT_LE(stored.size(), 2 * plain.size() + 6) << i;
        ASSERT_EQ(decode(stored, transform), plain) << i;
        plainBytes += plain.size();
        storedBytes += stored.size();
    }
    // Six bytes per line and an escape for about 2 % of the bytes.
    EXPECT_LT(storedBytes, plainBytes + plainBytes / 25 + 6 * 3000);
}

TEST_P(LineCodec, EveryByteValueAndTheWriterOwnLines) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b); // even a line feed inside
    const std::string lines[] = {
        "\n", "[S-y-S-t-E-m 1]\n", "FILENAME = /tmp/a b.ini\n", "CSUM = -2147483648\n", all + "\n",
        all,  "no line feed"};
    for (uint32_t transform : {0u, 1u, 98u, PROFILE_DEFAULT_TRANSFORM, 0xFFFFFFFFu}) {
        for (const std::string &plain : lines) {
            std::string stored = encode(plain, transform);
            EXPECT_TRUE(storableAsOneLine(stored)) << plain;
            EXPECT_EQ(decode(stored, transform), plain) << transform;
        }
    }
}

TEST_P(LineCodec, TheStoredFormDependsOnTheParameter) {
    const std::string plain = "[Main 1.0]\n";
    const uint32_t base = PROFILE_DEFAULT_TRANSFORM;
    const std::string stored = encode(plain, base);
    EXPECT_NE(stored.substr(5), plain); // not the plain text
    for (uint32_t bit = 0; bit < 32; ++bit) {
        std::string other = encode(plain, base ^ (1u << bit));
        EXPECT_NE(other, stored) << bit;
        EXPECT_EQ(decode(stored, base ^ (1u << bit)), "") << bit; // the wrong key
    }
    EXPECT_NE(encode(plain, base + 1), stored);
}

TEST_P(LineCodec, LinesThatCannotBeDecodedGiveNothing) {
    std::string stored = encode("key = value\n", 3);
    std::string cut = stored.substr(0, stored.size() - 2) + "\n";
    std::string edited = stored;
    edited[4] = static_cast<char>(edited[4] ^ 1);
    const std::string bad[] = {"",  "\n",   "ab\n",    "[Main 1.0]\n", "key = value\n",
                               cut, edited, "xx\\9\n", "xx\\"};
    for (const std::string &line : bad) {
        EXPECT_EQ(decode(line, 3), "") << line;
    }
    // A carriage return before the line feed (a text-mode write) is tolerated.
    std::string crlf = stored.substr(0, stored.size() - 1) + "\r\n";
    EXPECT_EQ(decode(crlf, 3), "key = value\n");
    // The stored form without its line feed is the same line.
    EXPECT_EQ(decode(stored.substr(0, stored.size() - 1), 3), "key = value\n");
}

// A stored line with any one of its five check characters changed, to any
// other byte inside or outside "!" to "~", does not decode: neither with its
// end known nor found in a block of lines.
TEST_P(LineCodec, ChangedCheckCharactersAreRefused) {
    const std::string stored = encode("key = a value\n", PROFILE_DEFAULT_TRANSFORM);
    const std::string next = "more\n";
    std::vector<char> out(PROFILE_LINE_SIZE);
    size_t lineLength = 0, plainLength = 0;
    ASSERT_EQ(lineCodecDecodeNext((stored + next).data(), stored.size() + next.size(), out.data(),
                                  PROFILE_LINE_SIZE, PROFILE_DEFAULT_TRANSFORM, &lineLength,
                                  &plainLength),
              0u);
    for (size_t place = 0; place < 5; ++place) {
        for (int byte = 0; byte < 256; ++byte) {
            std::string changed = stored;
            if (static_cast<unsigned char>(changed[place]) == byte) continue;
            changed[place] = static_cast<char>(byte);
            EXPECT_NE(lineCodecDecode(changed.data(), changed.size() - 1, out.data(),
                                      PROFILE_LINE_SIZE, PROFILE_DEFAULT_TRANSFORM, &plainLength),
                      0u)
                << place << " " << byte;
            changed += next;
            EXPECT_NE(lineCodecDecodeNext(changed.data(), changed.size(), out.data(),
                                          PROFILE_LINE_SIZE, PROFILE_DEFAULT_TRANSFORM, &lineLength,
                                          &plainLength),
                      0u)
                << place << " " << byte;
        }
    }
    // The same check value spelled with a digit past "~" that makes up for
    // one less in the next place: a reader that took the characters for
    // digits without their range would let it through.
    size_t spelled = 0;
    for (int value = 0; value < 200; ++value) {
        const std::string line = encode("k = " + std::to_string(value) + "\n", 9);
        for (size_t place = 0; place + 1 < 5; ++place) {
            const int digit = static_cast<unsigned char>(line[place]) - '!';
            if (line[place + 1] == '!' || '!' + digit + 94 > 255) continue;
            std::string changed = line;
            changed[place] = static_cast<char>('!' + digit + 94);
            changed[place + 1] = static_cast<char>(changed[place + 1] - 1);
            EXPECT_NE(lineCodecDecode(changed.data(), changed.size() - 1, out.data(),
                                      PROFILE_LINE_SIZE, 9, &plainLength),
                      0u)
                << value << " " << place;
            ++spelled;
        }
    }
    EXPECT_GT(spelled, 300u);
}

TEST_P(LineCodec, OutputNeverPassesTheCapacity) {
    std::mt19937 rng(11);
    // The stored form takes six bytes more than the plain line (and one per
    // escape) and a zero: a line of capacity - 6 bytes or more never fits.
    std::string plain;
    for (int b = 0; plain.size() < 8000; b = (b + 1) % 200) {
        plain += static_cast<char>(' ' + (b % 90)); // printable: escapes are rare
    }
    size_t longestFit = 0;
    for (uint32_t capacity : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 50u, 4500u}) {
        for (size_t length = capacity > 200 ? capacity - 200 : 0; length <= capacity + 2;
             ++length) {
            std::string line = plain.substr(0, length) + "\n";
            std::vector<char> out(capacity + 16, '#');
            uint32_t status =
                defaultEncodeLine(line.c_str(), out.data(), capacity, PROFILE_DEFAULT_TRANSFORM, 0);
            for (size_t i = capacity; i < out.size(); ++i) {
                ASSERT_EQ(out[i], '#') << "wrote past " << capacity << " for " << length;
            }
            if (line.size() + 6 >= capacity) {
                EXPECT_NE(status, 0u) << capacity << " " << length;
            }
            if (status == 0) {
                std::string stored(out.data());
                EXPECT_LT(stored.size(), capacity);
                EXPECT_EQ(decode(stored, PROFILE_DEFAULT_TRANSFORM), line);
                longestFit = std::max(longestFit, stored.size());
            } else if (capacity > 0) {
                EXPECT_EQ(out[0], '\0'); // nothing usable is left
            }
        }
    }
    EXPECT_GE(longestFit, PROFILE_ENCODE_SIZE - 8); // lines close to the limit do fit
    // A plain line of 4,493 bytes fits 4,500 unless one of its bytes is
    // escaped; every line too long for the output is refused.
    for (int i = 0; i < 200; ++i) {
        std::string line = randomLine(rng, 4400 + i);
        uint32_t status = 0;
        std::string stored = encode(line, i, &status);
        if (line.size() + 6 >= PROFILE_ENCODE_SIZE) {
            EXPECT_NE(status, 0u) << line.size();
        } else if (status == 0) {
            EXPECT_EQ(decode(stored, i), line);
        }
    }
    // Decoding into a buffer too small for the plain line gives nothing.
    std::string stored = encode("0123456789\n", 1);
    std::vector<char> small(8 + 16, '#');
    defaultDecodeLine(stored.c_str(), small.data(), 8, 1, 0);
    EXPECT_EQ(small[0], '\0');
    for (size_t i = 8; i < small.size(); ++i) ASSERT_EQ(small[i], '#');
    // Finding and decoding the next line: with as little room as the bytes
    // at hand (and less), whatever past the plain line the decoders use as
    // scratch stays inside it.
    const std::string lines =
        encode(randomLine(rng, 150), PROFILE_DEFAULT_TRANSFORM) +
        encode("k = " + std::string(150, 'v') + "\n", PROFILE_DEFAULT_TRANSFORM) +
        encode("k = v\n", PROFILE_DEFAULT_TRANSFORM);
    for (size_t available = 6; available <= lines.size(); ++available) {
        for (size_t capacity : {available, available - 1, lines.size()}) {
            std::vector<char> out(capacity + 128, '#');
            size_t lineLength = 0, plainLength = 0;
            lineCodecDecodeNext(lines.data(), available, out.data(),
                                static_cast<uint32_t>(capacity), PROFILE_DEFAULT_TRANSFORM,
                                &lineLength, &plainLength);
            for (size_t i = capacity; i < out.size(); ++i)
                ASSERT_EQ(out[i], '#') << "wrote past " << capacity << " of " << available;
        }
    }
}

TEST(LineCodec, ArgumentsAreChecked) {
    char out[64];
    EXPECT_NE(defaultEncodeLine(nullptr, out, sizeof out, 1, 0), 0u);
    EXPECT_NE(defaultEncodeLine("a\n", nullptr, sizeof out, 1, 0), 0u);
    EXPECT_NE(defaultEncodeLine("", out, sizeof out, 1, 0), 0u); // decodes to nothing
    EXPECT_NE(defaultDecodeLine(nullptr, out, sizeof out, 1, 0), 0u);
    EXPECT_EQ(out[0], '\0');
    EXPECT_NE(defaultDecodeLine("ab\n", nullptr, sizeof out, 1, 0), 0u);
}

// Stored lines written and read back through text-mode streams (on Windows
// these translate line ends and stop at 0x1A) decode to the plain lines.
TEST_P(LineCodec, StoredLinesSurviveTextModeStreams) {
    ScratchDir dir;
    const std::string path = dir.file("encoded.ini");
    std::mt19937 rng(3);
    std::uniform_int_distribution<size_t> length(0, 300);
    std::vector<std::string> plains;
    FILE *out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    for (int i = 0; i < 300; ++i) {
        plains.push_back(randomLine(rng, length(rng)));
        std::string stored = encode(plains.back(), PROFILE_DEFAULT_TRANSFORM);
        ASSERT_EQ(defaultWriteLine(stored.c_str(), out, 0), 0u);
    }
    std::fclose(out);
    FILE *in = std::fopen(path.c_str(), "r");
    ASSERT_NE(in, nullptr);
    std::vector<char> line(PROFILE_LINE_SIZE);
    for (const std::string &plain : plains) {
        ASSERT_EQ(defaultReadLine(line.data(), PROFILE_LINE_SIZE, in, 0), 0u);
        ASSERT_EQ(decode(line.data(), PROFILE_DEFAULT_TRANSFORM), plain);
    }
    EXPECT_EQ(defaultReadLine(line.data(), PROFILE_LINE_SIZE, in, 0), 15u);
    std::fclose(in);
}

// The stored form, one byte at a time, as the comment at the top of
// linecodec.cpp describes it: the reference every kernel must match.
struct ReferenceCodec {
    static uint32_t fmix32(uint32_t h) {
        h ^= h >> 16;
        h *= 0x85EBCA6Bu;
        h ^= h >> 13;
        h *= 0xC2B2AE35u;
        return h ^ (h >> 16);
    }
    static uint64_t fmix64(uint64_t h) {
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ull;
        return h ^ (h >> 33);
    }
    // The weight of each position, -64 to 63.
    static uint32_t weight(size_t i) {
        uint32_t x = static_cast<uint32_t>(i) & 0xFFFFu;
        x = (x * 0x9E37u + 0x79B9u) & 0xFFFFu;
        x ^= x >> 7;
        x = (x * 0x5BD1u) & 0xFFFFu;
        x ^= x >> 9;
        return (x >> 9) - 64u;
    }
    explicit ReferenceCodec(uint32_t transform) : seed(fmix32(transform ^ 0x6B76694Eu)) {}
    unsigned char key(size_t i) const {
        uint32_t x = seed + static_cast<uint32_t>(i / 4) * 0x9E3779B9u;
        x = (x ^ (x >> 15)) * 0x2C1B3C6Du;
        x ^= x >> 12;
        return static_cast<unsigned char>(x >> (8 * (i % 4)) | 0x80);
    }
    std::string check(const std::string &plain) const {
        uint32_t bytes = 0, positioned = 0, weighted = 0;
        for (size_t i = 0; i < plain.size(); ++i) {
            const uint32_t b = static_cast<unsigned char>(plain[i]);
            bytes += b;
            positioned += static_cast<uint32_t>(i) * b;
            weighted += weight(i) * b;
        }
        const uint64_t first = (uint64_t{1} << 32 | seed) ^ (uint64_t{positioned} << 32 | bytes);
        const uint64_t second = uint64_t{weighted} << 32 | static_cast<uint32_t>(plain.size());
        const uint64_t h = fmix64(first * 0x9E3779B97F4A7C15ull + second);
        // h as a fraction of 2^64, times 94^5.
        __extension__ using Wide = unsigned __int128;
        uint64_t value = static_cast<uint64_t>((static_cast<Wide>(h) * 7339040224ull) >> 64);
        std::string check;
        for (int i = 0; i < 5; ++i, value /= 94) check += static_cast<char>('!' + value % 94);
        return check;
    }
    std::string encode(const std::string &plain) const {
        static const std::string escaped("\0\n\r\x1a\\", 5);
        std::string stored = check(plain);
        for (size_t i = 0; i < plain.size(); ++i) {
            char c = static_cast<char>(static_cast<unsigned char>(plain[i]) ^ key(i));
            size_t digit = escaped.find(c);
            if (digit == std::string::npos) {
                stored += c;
            } else {
                stored += '\\';
                stored += static_cast<char>('0' + digit);
            }
        }
        return stored + "\n";
    }
    // The plain line, or false when the stored text (up to its first NUL)
    // does not decode.
    bool decode(const std::string &text, std::string *plain) const {
        static const std::string escaped("\0\n\r\x1a\\", 5);
        std::string body = text.substr(0, text.find_first_of(std::string("\n\0", 2)));
        if (!body.empty() && body.back() == '\r') body.pop_back();
        if (body.size() <= 5) return false;
        plain->clear();
        for (size_t r = 5; r < body.size(); ++r) {
            char c = body[r];
            if (c == '\\') {
                if (++r == body.size() || body[r] < '0' || body[r] > '4') return false;
                c = escaped[static_cast<size_t>(body[r] - '0')];
            } else if (escaped.find(c) != std::string::npos) {
                return false;
            }
            char b = static_cast<char>(static_cast<unsigned char>(c) ^ key(plain->size()));
            if (b == '\0') return false;
            *plain += b;
        }
        return check(*plain) == body.substr(0, 5);
    }
    uint32_t seed;
};

// Random lines of every kind the block-wise codec treats apart (no escape,
// escapes everywhere, runs of escapes, lines as long as a read line gets)
// give exactly what the reference gives, for every output capacity around
// the line's size, and neither side writes past the capacity.
TEST_P(LineCodec, MatchesAByteAtATimeReference) {
    std::mt19937 rng(2718);
    std::uniform_int_distribution<uint32_t> any;
    std::uniform_int_distribution<int> percent(0, 99);
    const char escapedStored[] = {'\0', '\n', '\r', '\x1a', '\\'};
    struct Kind {
        size_t minLength, maxLength;
        int escapePercent; // of the bytes chosen to be stored escaped
        bool ascii;        // the other bytes printable ASCII, which is never escaped
    };
    const Kind kinds[] = {{0, 40, 0, false},      {0, 300, 2, false},     {1, 300, 30, false},
                          {1, 300, 100, false},   {4400, 4563, 2, false}, {2200, 2281, 100, false},
                          {4540, 4563, 0, false}, {5000, 6000, 3, false}, {1, 300, 0, true},
                          {60, 200, 1, true},     {4400, 4563, 0, true},  {4400, 4563, 1, true}};
    std::uniform_int_distribution<int> printable(0x20, 0x7E);
    for (int i = 0; i < 1200; ++i) {
        const Kind &kind = kinds[static_cast<size_t>(i) % std::size(kinds)];
        const uint32_t transform = i % 3 == 0 ? PROFILE_DEFAULT_TRANSFORM : any(rng);
        const ReferenceCodec ref(transform);
        size_t length = std::uniform_int_distribution<size_t>(kind.minLength, kind.maxLength)(rng);
        std::string plain;
        while (plain.size() < length) {
            char b = static_cast<char>(kind.ascii ? printable(rng) : static_cast<int>(any(rng)));
            if (percent(rng) < kind.escapePercent) // stored as one of the escaped bytes
                b = static_cast<char>(escapedStored[any(rng) % 5] ^ ref.key(plain.size()));
            if (b != '\0' && b != '\n') plain += b;
        }
        plain += '\n';
        const std::string stored = ref.encode(plain);

        // Encoding: the reference's bytes whenever they fit.
        const uint32_t encodeRoom = static_cast<uint32_t>(stored.size()) + 1;
        for (uint32_t capacity : {encodeRoom - 1, encodeRoom, encodeRoom + 15,
                                  static_cast<uint32_t>(PROFILE_ENCODE_SIZE)}) {
            std::vector<char> out(capacity + 32, '#');
            uint32_t status = defaultEncodeLine(plain.c_str(), out.data(), capacity, transform, 0);
            ASSERT_EQ(status == 0, capacity >= encodeRoom) << i << " " << capacity;
            ASSERT_EQ(std::string(out.data()), status == 0 ? stored : "") << i << " " << capacity;
            for (size_t k = capacity; k < out.size(); ++k) ASSERT_EQ(out[k], '#') << i;
        }

        // Decoding: the stored line and edits of it, against the reference.
        std::string crlf = stored;
        crlf.insert(crlf.size() - 1, "\r");
        std::string edited = stored;
        edited[std::uniform_int_distribution<size_t>(0, stored.size() - 1)(rng)] =
            static_cast<char>(any(rng));
        std::string cut = stored.substr(0, stored.size() - 1 - any(rng) % stored.size());
        // A NUL in the plain line, its check characters right.
        std::string withNul = plain;
        withNul[any(rng) % plain.size()] = '\0';
        for (const std::string &text :
             {stored, crlf, edited, cut, stored + "tail\n", ref.encode(withNul)}) {
            std::string expected;
            bool decodes = ref.decode(text, &expected);
            const uint32_t room = static_cast<uint32_t>(expected.size()) + 1;
            for (uint32_t capacity :
                 {room - 1, room, room + 13, room + 16, static_cast<uint32_t>(text.size()) + 16,
                  static_cast<uint32_t>(PROFILE_LINE_SIZE)}) {
                std::vector<char> out(capacity + 32, '#');
                uint32_t status =
                    defaultDecodeLine(text.c_str(), out.data(), capacity, transform, 0);
                bool fits = decodes && capacity >= room;
                ASSERT_EQ(status == 0, fits) << i << " " << capacity;
                if (capacity > 0) {
                    ASSERT_EQ(std::string(out.data()), fits ? expected : "")
                        << i << " " << capacity;
                }
                for (size_t k = capacity; k < out.size(); ++k) ASSERT_EQ(out[k], '#') << i;
            }
        }
        // A reader that knows where the line ends: the same results, and a
        // NUL or line feed inside the given body is refused.  The body is
        // copied to a buffer of its own size, so a read past it is caught by
        // the address sanitizer.
        std::string inner = stored.substr(0, stored.size() - 1);
        std::string innerNul = inner;
        innerNul[5 + any(rng) % (inner.size() - 5)] = '\0';
        std::string innerFeed = stored + stored.substr(0, stored.size() - 1);
        for (const std::string &body : {inner, innerNul, innerFeed, cut}) {
            std::string expected;
            bool decodes = body.find_first_of(std::string("\n\0", 2)) == std::string::npos &&
                           ref.decode(body + "\n", &expected) &&
                           expected.size() < PROFILE_LINE_SIZE;
            std::vector<char> exact(body.begin(), body.end());
            std::vector<char> out(PROFILE_LINE_SIZE, '#');
            size_t plainLength = 99;
            uint32_t status = lineCodecDecode(exact.data(), exact.size(), out.data(),
                                              PROFILE_LINE_SIZE, transform, &plainLength);
            ASSERT_EQ(status == 0, decodes) << i;
            ASSERT_EQ(std::string(out.data()), decodes ? expected : "") << i;
            ASSERT_EQ(plainLength, decodes ? expected.size() : 0u) << i;
        }
    }
}

// The next line in a block of bytes, found as it is decoded: lines of every
// length around the 32 and 64-byte blocks, ending in a line feed or a carriage
// return and a line feed (which may fall on either side of a block's end),
// followed by more bytes or not, and cut at every point before their end
// (then no line is at hand).  The result is lineCodecDecode's over the
// line's body; the bytes sit in a buffer of their own size.
TEST_P(LineCodec, NextLineIsFoundAsItIsDecoded) {
    std::mt19937 rng(31);
    const ReferenceCodec ref(PROFILE_DEFAULT_TRANSFORM);
    for (size_t length = 1; length < 200; ++length) {
        std::string plain = randomLine(rng, length);
        if (length % 3 == 0) // printable only: the blocks without escapes
            for (char &c : plain) c = static_cast<char>(c == '\n' ? c : 0x20 + (c & 0x3F));
        std::string stored = ref.encode(plain);
        std::string crlf = stored;
        crlf.insert(crlf.size() - 1, "\r");
        std::string damaged = stored;
        damaged[5 + length / 2] = '\r';
        const struct {
            std::string line;
            bool decodes;
        } cases[] = {{stored, true}, {crlf, true}, {damaged, false}};
        for (const auto &[line, decodes] : cases) {
            size_t end = line.size() - 1;
            if (line[end - 1] == '\r') --end;
            std::vector<char> expected(PROFILE_LINE_SIZE);
            size_t expectedLength = 0;
            uint32_t expectedStatus =
                lineCodecDecode(line.data(), end, expected.data(), PROFILE_LINE_SIZE,
                                PROFILE_DEFAULT_TRANSFORM, &expectedLength);
            ASSERT_EQ(expectedStatus == 0, decodes) << length;
            // Nothing after the line, a short line, and more than a block
            // of bytes, so that the kernels that stop short of the end of
            // what they have find the line themselves.
            for (const std::string &after :
                 {std::string(), std::string("k = v\n"), std::string(70, 'k') + "\n"}) {
                const std::string text = line + after;
                for (size_t available = 0; available <= text.size(); ++available) {
                    std::vector<char> bytes(text.begin(), text.begin() + available);
                    std::vector<char> out(PROFILE_LINE_SIZE, '#');
                    size_t lineLength = 99, plainLength = 99;
                    uint32_t status = lineCodecDecodeNext(
                        bytes.data(), bytes.size(), out.data(), PROFILE_LINE_SIZE,
                        PROFILE_DEFAULT_TRANSFORM, &lineLength, &plainLength);
                    if (available < line.size()) {
                        ASSERT_EQ(lineLength, 0u) << length << " " << available;
                        ASSERT_NE(status, 0u);
                        continue;
                    }
                    ASSERT_EQ(lineLength, line.size()) << length << " " << available;
                    ASSERT_EQ(status, expectedStatus) << length << " " << available;
                    ASSERT_EQ(plainLength, expectedLength);
                    ASSERT_STREQ(out.data(), expectedStatus == 0 ? expected.data() : "");
                }
            }
        }
    }
}

// The scan that the one-pass decoding makes for the split gives the split's
// own answer: key lines and near misses built from the bytes the split
// looks at (blanks, signs, every refused byte, bytes from 0x80 up that go
// through escapes), short and across several blocks, ending in a line feed
// or none.  Where no scan is made (the kernel does not find the end), the
// split reads the line itself and so agrees by construction.
// A key line or a near miss built from the bytes the split looks at
// (blanks, signs, every refused byte, bytes from 0x80 up), short or across
// several blocks, ending in a line feed or (now and then) none.
std::string randomKeyLine(std::mt19937 &rng, int round) {
    const char pieces[] = {'k', 'v', ' ',    ' ',    '=', '=', '\t', '\r', '#', '[', '<', '>',
                           '?', '@', '\x80', '\xff', 'x', 'y', 'z',  'a',  'b', 'c', '1', '\x0b'};
    std::uniform_int_distribution<size_t> piece(0, sizeof pieces - 1);
    std::uniform_int_distribution<size_t> lengthOf(1, 150);
    const size_t nameLength = lengthOf(rng) % 70 + 1;
    std::string plain(nameLength, 'n');
    plain += round % 3 == 0 ? "=" : " = ";
    const size_t valueLength = lengthOf(rng);
    for (size_t i = 0; i < valueLength; ++i) plain += round % 4 == 0 ? 'v' : pieces[piece(rng)];
    // Now and then a byte of the split's classes in the name, or blanks
    // at either end.
    if (round % 5 == 1) plain[piece(rng) % nameLength] = pieces[piece(rng)];
    if (round % 7 == 2) plain.insert(0, " ");
    if (round % 11 == 3) plain += ' ';
    if (round % 13 != 4) plain += '\n';
    return plain;
}

void expectSameSplit(const ProfileKeySpan &got, const ProfileKeySpan &expected) {
    EXPECT_EQ(got.name, expected.name);
    EXPECT_EQ(got.nameLength, expected.nameLength);
    EXPECT_EQ(got.value, expected.value);
    EXPECT_EQ(got.valueLength, expected.valueLength);
    EXPECT_EQ(got.oneSign, expected.oneSign);
}

// The scan that the one-pass decoding makes for the split gives the split's
// own answer, for the lines of randomKeyLine with more lines after them, as
// in a read block.  Where no scan is made (the kernel does not find the
// end), the split reads the line itself and so agrees by construction.
TEST_P(LineCodec, TheDecodingScanSplitsAsTheSplitDoes) {
    std::mt19937 rng(77);
    size_t scanned = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::string plain = randomKeyLine(rng, round);
        // More lines after it, as in a read block.
        const std::string stored =
            encode(plain, PROFILE_DEFAULT_TRANSFORM) + std::string(80, 'k') + "\n";
        ASSERT_GT(stored.size(), 6u) << round;
        std::vector<char> out(PROFILE_LINE_SIZE);
        size_t lineLength = 0, plainLength = 0;
        ProfileLineScan scan{};
        ASSERT_EQ(lineCodecDecodeNext(stored.data(), stored.size(), out.data(), PROFILE_LINE_SIZE,
                                      PROFILE_DEFAULT_TRANSFORM, &lineLength, &plainLength, &scan),
                  0u)
            << round;
        ASSERT_EQ(std::string(out.data(), plainLength), plain);
        size_t length = plainLength - (plain.back() == '\n' ? 1 : 0);
        ProfileKeySpan expected{}, got{};
        const bool expectedSplit = profileSplitPlainKey(out.data(), length, &expected);
        ASSERT_EQ(profileSplitScannedKey(out.data(), length, scan, &got), expectedSplit) << round;
        scanned += scan.whole ? 1 : 0;
        if (expectedSplit) expectSameSplit(got, expected);
    }
    if (kernelSet() >= KERNEL_AVX2) {
        EXPECT_GT(scanned, 19000u); // the scan was made, not left to the split
    }
}

// The plain load's one-pass scan finds the same line end as a search for
// the line feed and gives the split's own answer; with no line feed within
// the bytes it may read (the line cut at a block's end), it finds nothing.
// NUL bytes in the line are refused as the split refuses them.
TEST_P(LineCodec, ThePlainScanFindsTheLineAndSplitsAsTheSplitDoes) {
    std::mt19937 rng(78);
    size_t scanned = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes = randomKeyLine(rng, round);
        if (round % 17 == 5) bytes[bytes.size() / 2] = '\0';
        // More lines after it, as in a read block, or the line last.
        bytes += round % 2 == 0 ? "k = v\nkey = a value of some words\nx=y\n" : "";
        // Cut now and then inside the line or just after its line feed.
        const size_t size = round % 19 == 6 ? bytes.size() / 3 : bytes.size();
        size_t lineLength = 0;
        ProfileLineScan scan{};
        const bool found = profileScanPlainLine(bytes.data(), size, &lineLength, &scan);
        const void *feed = std::memchr(bytes.data(), '\n', size);
        if (!found) {
            EXPECT_TRUE(feed == nullptr || kernelSet() < KERNEL_AVX512) << round;
            continue;
        }
        ++scanned;
        ASSERT_NE(feed, nullptr) << round;
        ASSERT_EQ(lineLength,
                  static_cast<size_t>(static_cast<const char *>(feed) - bytes.data()) + 1)
            << round;
        ProfileKeySpan expected{}, got{};
        const bool expectedSplit = profileSplitPlainKey(bytes.data(), lineLength - 1, &expected);
        ASSERT_EQ(profileSplitScannedKey(bytes.data(), lineLength - 1, scan, &got), expectedSplit)
            << round;
        if (expectedSplit) expectSameSplit(got, expected);
    }
    // The scan was made, not left to the split (the 32-byte kernel leaves a
    // line that ends in the last part block of what it may read).
    if (kernelSet() >= KERNEL_AVX512) {
        EXPECT_GT(scanned, 18000u);
    } else if (kernelSet() == KERNEL_AVX2) {
        EXPECT_GT(scanned, 9000u);
    }
}

TEST(LineIo, ReadLineTakesOneLineOfAtMostCapacityMinusOne) {
    ScratchDir dir;
    const std::string path = dir.file("lines.txt");
    const std::string longLine(5000, 'x');
    ASSERT_TRUE(writeFile(path, "ab\n\n" + longLine + "\nlast"));
    FILE *in = std::fopen(path.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::vector<char> buffer(PROFILE_LINE_SIZE, '#');
    const std::string expected[] = {"ab\n", "\n", std::string(4565, 'x'),
                                    std::string(435, 'x') + "\n", "last"};
    for (const std::string &e : expected) {
        ASSERT_EQ(defaultReadLine(buffer.data(), PROFILE_LINE_SIZE, in, 9), 0u);
        EXPECT_EQ(std::string(buffer.data()), e);
    }
    EXPECT_EQ(defaultReadLine(buffer.data(), PROFILE_LINE_SIZE, in, 0), 15u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(defaultReadLine(nullptr, PROFILE_LINE_SIZE, in, 0), 11u);
    std::fclose(in);

    // A stream that cannot be read: the end of the input.
    FILE *writeOnly = std::fopen(dir.file("w.txt").c_str(), "wb");
    ASSERT_NE(writeOnly, nullptr);
    buffer[0] = 'q';
    EXPECT_EQ(defaultReadLine(buffer.data(), PROFILE_LINE_SIZE, writeOnly, 0), 15u);
    EXPECT_EQ(buffer[0], '\0');
    std::fclose(writeOnly);
}

TEST(LineIo, WriteLineWritesTheLineUnchanged) {
    ScratchDir dir;
    const std::string path = dir.file("out.txt");
    FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(defaultWriteLine("[Main 1.0]\n", out, 0), 0u);
    EXPECT_EQ(defaultWriteLine("a = b\n", out, 0), 0u);
    platFaultArm(PLAT_FAULT_FILE_WRITE, 0, 1);
    EXPECT_EQ(defaultWriteLine("lost\n", out, 0), 11u);
    platFaultReset();
    EXPECT_EQ(defaultWriteLine(nullptr, out, 0), 11u);
    EXPECT_EQ(defaultWriteLine("x", nullptr, 0), 11u);
    std::fclose(out);
    EXPECT_EQ(readFile(path), "[Main 1.0]\na = b\n");
}

} // namespace
