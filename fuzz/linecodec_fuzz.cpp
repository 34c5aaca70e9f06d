// The built-in line encoding under arbitrary input.
//
// Input: 4 bytes of transform parameter (the last also picks the kernel
// set), 2 bytes choosing a small output capacity, then the line.  Checks, for any parameter:
//  - a line the writer can produce (bytes 1 to 255 without a line feed, then
//    one line feed) encodes into exactly one stored line without NUL,
//    carriage return or 0x1A, and decodes back to the same bytes;
//  - no capacity is ever written past (every output buffer is a heap block of
//    exactly that size, so AddressSanitizer sees one byte too many);
//  - a refused encoding or decoding leaves the output empty;
//  - arbitrary text that decodes is the canonical encoding of what it
//    decodes to (the encoding has one stored form per plain line);
//  - a changed stored line (a byte replaced, a bit flipped, a byte removed or
//    added, a burst of bytes overwritten, the line cut, another line's end
//    joined on) never decodes to a different plain line: the check lets one
//    in about 7 x 10^9 through, which no run of the fuzzer comes near.  The
//    bytes a change writes come from a generator seeded by the input, never
//    from the input itself: the fuzzer watches the decoder's comparisons and
//    would otherwise copy the very check characters a forged line needs (it
//    did, in about one run of three) -- the check is against corruption, not
//    against someone who computes it.
#include "fuzz_check.h"
#include "profile/kernels/dispatch.h"
#include "profile/limits.h"
#include "profile/linecodec.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A heap block of exactly `size` bytes (at least one, so a capacity of zero
// still has a pointer), filled with a byte that is never a valid end.
struct Block {
    explicit Block(size_t size)
        : size(size), data(static_cast<char *>(std::malloc(size ? size : 1))) {
        std::memset(data, 0x7F, size ? size : 1);
    }
    ~Block() { std::free(data); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    size_t size;
    char *data;
};

bool storedFormIsOneLine(const char *stored) {
    size_t n = std::strlen(stored);
    if (n == 0 || stored[n - 1] != '\n') return false;
    for (size_t i = 0; i + 1 < n; ++i) {
        unsigned char c = static_cast<unsigned char>(stored[i]);
        if (c == '\n' || c == '\r' || c == 0x1A) return false;
    }
    return true;
}

// Encodes plain with the given capacity and checks the result; returns the
// stored line, or an empty text when the encoding was refused.
std::string encodeChecked(const std::string &plain, uint32_t capacity, uint32_t transform) {
    Block out(capacity);
    uint32_t status = defaultEncodeLine(plain.c_str(), out.data, capacity, transform, 0);
    if (status != 0) {
        FUZZ_CHECK(capacity == 0 || out.data[0] == '\0');
        // Only a line that cannot fit may be refused: the stored form is the
        // plain line, five check characters, the line feed and the zero, plus
        // escapes.
        FUZZ_CHECK(plain.empty() || 2 * plain.size() + 7 > capacity);
        return {};
    }
    FUZZ_CHECK(std::memchr(out.data, '\0', capacity) != nullptr);
    FUZZ_CHECK(storedFormIsOneLine(out.data));
    return out.data;
}

void decodeMustGive(const std::string &stored, uint32_t capacity, uint32_t transform,
                    const std::string &plain) {
    Block out(capacity);
    std::memset(out.data, 0, capacity ? capacity : 1);
    uint32_t status = defaultDecodeLine(stored.c_str(), out.data, capacity, transform, 0);
    if (plain.size() + 1 <= capacity) {
        FUZZ_CHECK(status == 0);
        FUZZ_CHECK(plain == out.data);
    } else {
        FUZZ_CHECK(status != 0);
        FUZZ_CHECK(capacity == 0 || out.data[0] == '\0');
    }
}

// size bytes (none of them NUL) from a generator (splitmix64) seeded by the
// text, so that they bear no plain relation to any byte of the input.
std::string noiseFrom(const std::string &seedText, size_t size) {
    uint64_t state = 1469598103934665603ull;
    for (unsigned char c : seedText) state = (state ^ c) * 1099511628211ull;
    std::string noise;
    while (noise.size() < size) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int i = 0; i < 8 && noise.size() < size; ++i, z >>= 8)
            if ((z & 0xFF) != 0) noise += static_cast<char>(z & 0xFF);
    }
    return noise;
}

// Changes the stored line as the input says and checks that it decodes to
// nothing or to the same plain line.  `choice` picks the change, `at` its
// place, and `seedText` seeds the bytes it writes.
void changeMustNotDecode(const std::string &stored, uint32_t transform, const std::string &plain,
                         uint32_t choice, uint32_t at, const std::string &seedText) {
    // Up to 8 bytes for a burst, and a few more with a line feed among them
    // for another line's end.
    const std::string bytes = noiseFrom(seedText, 8 + at % 24);
    std::string changed = stored.substr(0, stored.size() - 1); // without its line feed
    const size_t place = at % changed.size();
    const char byte = bytes.empty() ? '\x80' : bytes[at % bytes.size()];
    switch (choice % 6) {
    case 0:
        changed[place] = byte;
        break;
    case 1:
        changed[place] = static_cast<char>(changed[place] ^ (1 << (choice / 6 % 8)));
        break;
    case 2:
        changed.erase(place, 1);
        break;
    case 3:
        changed.insert(place, 1, byte);
        break;
    case 4: // a burst
        for (size_t i = 0; i < bytes.size() && i < 8 && place + i < changed.size(); ++i)
            changed[place + i] = bytes[i];
        break;
    default: // cut, and another line's end joined on
        changed = changed.substr(0, place) + bytes.substr(0, bytes.find('\n'));
        break;
    }
    if (changed == stored.substr(0, stored.size() - 1)) return;
    Block out(PROFILE_LINE_SIZE);
    if (defaultDecodeLine((changed + "\n").c_str(), out.data, PROFILE_LINE_SIZE, transform, 0) == 0)
        FUZZ_CHECK(plain == out.data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    uint32_t transform = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                         static_cast<uint32_t>(data[2]) << 16 |
                         static_cast<uint32_t>(data[3]) << 24;
    uint32_t smallCapacity =
        (static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8) %
        (PROFILE_LINE_SIZE + 64);
    // Every kernel set the machine runs, as the input picks.
    if (kernelForce(kernelSetName(static_cast<KernelSet>(data[3] % KERNEL_SET_COUNT))) != 0)
        kernelForce(nullptr);
    const char *body = reinterpret_cast<const char *>(data + 6);
    size_t bodySize = size - 6;

    // A line the writer can produce: every byte but NUL and the line feed,
    // at most the longest written line, ending in one line feed.
    std::string plain;
    for (size_t i = 0; i < bodySize && plain.size() + 1 < PROFILE_WRITE_LINE_SIZE; ++i) {
        if (body[i] != '\0' && body[i] != '\n') plain += body[i];
    }
    plain += '\n';

    std::string stored = encodeChecked(plain, PROFILE_ENCODE_SIZE, transform);
    if (!stored.empty()) {
        decodeMustGive(stored, PROFILE_LINE_SIZE, transform, plain);
        decodeMustGive(stored, smallCapacity, transform, plain);
        // The reader may hand over the line with a carriage return before its
        // line feed (a text-mode write); that decodes the same.
        std::string crlf = stored.substr(0, stored.size() - 1) + "\r\n";
        decodeMustGive(crlf, PROFILE_LINE_SIZE, transform, plain);
        changeMustNotDecode(stored, transform, plain, data[0], smallCapacity,
                            std::string(body, bodySize));
    }
    std::string small = encodeChecked(plain, smallCapacity, transform);
    // One stored form per line, whatever the room: a larger capacity never
    // refuses what a smaller one took.
    if (!small.empty() && !stored.empty()) FUZZ_CHECK(small == stored);
    if (smallCapacity >= PROFILE_ENCODE_SIZE && !stored.empty()) FUZZ_CHECK(!small.empty());
    if (smallCapacity <= PROFILE_ENCODE_SIZE && !small.empty()) FUZZ_CHECK(!stored.empty());

    // Arbitrary text, up to its first NUL, through the decoder.
    std::string raw(body, strnlen(body, bodySize));
    Block out(smallCapacity);
    std::memset(out.data, 0, smallCapacity ? smallCapacity : 1);
    uint32_t status = defaultDecodeLine(raw.c_str(), out.data, smallCapacity, transform, 0);
    if (status != 0) {
        FUZZ_CHECK(smallCapacity == 0 || out.data[0] == '\0');
    } else {
        // Canonical: encoding the result gives the stored line back (up to
        // its line feed, without a carriage return before it).
        std::string line = raw.substr(0, raw.find('\n'));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string again =
            encodeChecked(out.data, static_cast<uint32_t>(2 * raw.size() + 8), transform);
        FUZZ_CHECK(again == line + "\n");
    }
    return 0;
}
