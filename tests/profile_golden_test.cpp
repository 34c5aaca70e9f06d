// The stored form of the built-in line encoding is frozen from 9.5.0: files
// written by that release must read the same in every later one.  The golden
// files in tests/fixtures/encoded/ were written by the library itself, each
// NAME.stored beside its plain twin NAME.plain:
//
//   lines-PARAM      lines of every kind under the transform parameter PARAM
//                    (hexadecimal; 4b56 is the default): text, key and header
//                    lines, escapes, long lines, every byte value, a carriage
//                    return before the line feed;
//   lines-4b56-crlf  the default file's stored lines ending in a carriage
//                    return and a line feed, as a text-mode write leaves them
//                    (its plain twin is lines-4b56.plain);
//   profile-4b56     a profile file with checksums, saved encoded by the
//                    library under the default parameter.
//
// Every stored line decodes to its plain twin and every plain line encodes
// to its stored line byte for byte, with every kernel; the profile file loads
// encoded exactly as its plain twin loads.  These files are never
// regenerated to make a change pass: a later stored form must still read
// them.  (KV_GOLDEN_WRITE=DIR made them: the test then writes the files into
// DIR instead of checking them.)
#include "profile/context.h"
#include "profile/linecodec.h"
#include "profile/loadsave.h"
#include "profile/operations.h"
#include "support/fixtures.h"
#include "support/kernel_sets.h"
#include "support/profile_io.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// Copied beside the tests by tests/CMakeLists.txt.
const std::string GOLDEN_DIR = "golden/encoded/";

const uint32_t PARAMETERS[] = {PROFILE_DEFAULT_TRANSFORM, 0u, 1u, 98u, 0xFFFFFFFFu};

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// The plain lines of the lines-PARAM files, each ending in a line feed.
std::vector<std::string> plainLines(uint32_t transform) {
    std::vector<std::string> lines = {"\n",
                                      "[S-y-S-t-E-m 1]\n",
                                      "FILENAME = C:\\profiles\\app.ini\n",
                                      "NUMSECTION = 3\n",
                                      "CSUM = -2147483648\n",
                                      "[Main 1.0]\n",
                                      "key = value with blanks\n",
                                      "ends in a carriage return\r\n",
                                      "\r\n",
                                      "# a comment; and \\ backslashes \\\\ \"quotes\"\n"};
    std::string all;
    for (int b = 1; b < 256; ++b)
        if (b != '\n') all += static_cast<char>(b);
    lines.push_back(all + "\n");
    std::string high;
    for (int b = 255; b >= 128; --b) high += static_cast<char>(b);
    lines.push_back(high + high + "\n");
    // Long lines: ASCII text close to the longest that encodes, and bytes
    // from 0x80 up, which are escaped about once in 25.
    std::string text;
    while (text.size() < 4400) text += "the quick brown fox jumps over the lazy dog ";
    lines.push_back(text.substr(0, 4400) + "\n");
    std::mt19937 rng(95 + transform);
    std::uniform_int_distribution<int> byte(1, 255);
    std::string binary;
    while (binary.size() < 2000) {
        char c = static_cast<char>(byte(rng));
        if (c != '\n') binary += c;
    }
    lines.push_back(binary + "\n");
    // Lines of every length around the 16- and 64-byte blocks.
    for (size_t length = 1; length < 140; length += 7) {
        std::string line;
        for (size_t i = 0; i < length; ++i) {
            const int b = byte(rng);
            line += static_cast<char>(length % 2 ? 32 + b % 95 : (b == '\n' ? 'x' : b));
        }
        lines.push_back(line + "\n");
    }
    return lines;
}

std::string encodeLine(const std::string &plain, uint32_t transform) {
    std::vector<char> out(PROFILE_ENCODE_SIZE);
    if (defaultEncodeLine(plain.c_str(), out.data(), PROFILE_ENCODE_SIZE, transform, 0) != 0)
        return "(refused)";
    return out.data();
}

// The lines of a file, each with its line feed.
std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

std::string decodeLine(const std::string &stored, uint32_t transform) {
    std::vector<char> out(PROFILE_LINE_SIZE);
    if (defaultDecodeLine(stored.c_str(), out.data(), PROFILE_LINE_SIZE, transform, 0) != 0)
        return "(undecodable)";
    return out.data();
}

// A profile file with a few sections, as a caller writes it.
std::string profileText() {
    std::string text = "[Main 1.0]\nport = 8080\nname = kvinit64 test host\n";
    text += "[Paths 2]\nlog = /var/log/kvinit64.log\nwindows = C:\\Program Files\\kv\n";
    text += "[Long *]\nvalue = " + std::string(3000, 'v') + "\n";
    return text;
}

// Loads path read-only and describes it: status, where the load ended, the
// sections with their keys and checksums.
std::string load(const std::string &path, uint32_t flags) {
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    uint32_t status = profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, flags, 0);
    if (status != 0) return "status " + std::to_string(status);
    std::string out = "ended at " + std::to_string(file->loadEndedAtLine) + " " +
                      describeWithChecksums(file) + " " + describe(file);
    profileCloseFile(&file, 0, 0);
    return out;
}

// KV_GOLDEN_WRITE=DIR: writes the golden files into DIR.
bool writeGolden(const std::string &dir) {
    bool ok = true;
    for (uint32_t transform : PARAMETERS) {
        std::string plain, stored, crlf;
        for (const std::string &line : plainLines(transform)) {
            plain += line;
            std::string s = encodeLine(line, transform);
            stored += s;
            crlf += s.substr(0, s.size() - 1) + "\r\n";
        }
        const std::string name = dir + "/lines-" + hex(transform);
        ok = ok && writeFile(name + ".plain", plain) && writeFile(name + ".stored", stored);
        if (transform == PROFILE_DEFAULT_TRANSFORM)
            ok = ok && writeFile(name + "-crlf.stored", crlf);
    }
    // The profile file, saved by the library: encoded, and its plain twin
    // from its decoded lines.  Saved under a name without a folder, which
    // its reserved section names.
    const std::string path = "profile-4b56.stored";
    ok = ok && writeFile(path, profileText());
    TestContext ctx{PROFILE_IO_STREAM};
    ProfileFile *file = nullptr;
    ok = ok && profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0) == 0 &&
         profileCloseFile(&file, PROFILE_SAVE_ENCODE | PROFILE_SAVE_CHECKSUMS, 0) == 0;
    std::string plain;
    for (const std::string &line : splitLines(readFile(path)))
        plain += decodeLine(line, PROFILE_DEFAULT_TRANSFORM);
    return ok && writeFile(dir + "/profile-4b56.plain", plain) &&
           std::rename(path.c_str(), (dir + "/profile-4b56.stored").c_str()) == 0;
}

using GoldenFiles = KernelSetTest;
INSTANTIATE_TEST_SUITE_P(Kernels, GoldenFiles,
                         ::testing::Values("scalar", "sse2", "avx2", "avx512"), kernelParamName);

TEST_P(GoldenFiles, DecodeToTheirPlainTwinsAndEncodeBackByteForByte) {
    const char *writeTo = std::getenv("KV_GOLDEN_WRITE");
    if (writeTo != nullptr && *writeTo != '\0') {
        ASSERT_TRUE(writeGolden(writeTo));
        GTEST_SKIP() << "wrote the golden files into " << writeTo;
    }
    struct Golden {
        std::string stored, plain;
        uint32_t transform;
    };
    std::vector<Golden> files;
    for (uint32_t transform : PARAMETERS)
        files.push_back({"lines-" + hex(transform), "lines-" + hex(transform), transform});
    files.push_back({"lines-4b56-crlf", "lines-4b56", PROFILE_DEFAULT_TRANSFORM});
    files.push_back({"profile-4b56", "profile-4b56", PROFILE_DEFAULT_TRANSFORM});
    for (const Golden &golden : files) {
        const std::string storedText = readFile(GOLDEN_DIR + golden.stored + ".stored");
        const std::string plainText = readFile(GOLDEN_DIR + golden.plain + ".plain");
        const std::vector<std::string> stored = splitLines(storedText);
        const std::vector<std::string> plain = splitLines(plainText);
        ASSERT_FALSE(plain.empty()) << golden.plain;
        ASSERT_EQ(stored.size(), plain.size()) << golden.stored;
        const bool crlf = golden.stored != golden.plain;
        for (size_t i = 0; i < stored.size(); ++i) {
            ASSERT_EQ(decodeLine(stored[i], golden.transform), plain[i])
                << golden.stored << " line " << i + 1;
            std::string again = encodeLine(plain[i], golden.transform);
            if (crlf) again.insert(again.size() - 1, "\r");
            ASSERT_EQ(again, stored[i]) << golden.stored << " line " << i + 1;
        }
        // A line of this form under another parameter does not decode.
        EXPECT_EQ(decodeLine(stored[1], golden.transform ^ 0x100u), "(undecodable)");
    }
    // The library's loader reads the stored profile file as its plain twin.
    const std::string expected = load(GOLDEN_DIR + "profile-4b56.plain", 0);
    EXPECT_EQ(expected.rfind("ended at 0 ", 0), 0u) << expected;
    EXPECT_NE(expected.find("Long/*{value=vvv"), std::string::npos) << expected;
    EXPECT_EQ(load(GOLDEN_DIR + "profile-4b56.stored", PROFILE_OPEN_FLAG_DECODE), expected);
}

} // namespace
