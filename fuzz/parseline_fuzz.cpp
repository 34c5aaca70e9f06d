// normalizeBlanks and profileParseLine against each other's invariants.
//
// Input: one byte of flags (bit 0: the previous key line was "CSUM"), then
// the line up to its first NUL.  Checks:
//  - normalising keeps every non-whitespace byte in order, leaves no
//    whitespace at either end and no two whitespace bytes side by side
//    (whitespace-only and empty text stay as they are), and a second
//    normalisation changes nothing;
//  - what parses once parses the same after a second normalisation: the same
//    status, kind and buffers;
//  - a parsed line written back in the plain forms "%s = %s" (a key) and
//    "[%s %s]" (a header) reads back to the same key and value, or the same
//    name and version.  The two headers that need another form (the empty
//    name, written "[]", and a version holding "]", which a blank must
//    precede) are left to the loader's round trip, which runs the saver.
#include "diag/collector.h"
#include "fuzz_check.h"
#include "profile/format.h"
#include "profile/limits.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string withoutBlanks(const std::string &text) {
    std::string out;
    for (char c : text)
        if (!isBlank(c)) out += c;
    return out;
}

void checkNormalised(const std::string &before, const std::string &after) {
    bool onlyBlanks = withoutBlanks(before).empty();
    if (onlyBlanks) {
        FUZZ_CHECK(after == before);
        return;
    }
    FUZZ_CHECK(!after.empty() && !isBlank(after.front()) && !isBlank(after.back()));
    for (size_t i = 1; i < after.size(); ++i)
        FUZZ_CHECK(!(isBlank(after[i - 1]) && isBlank(after[i])));
    FUZZ_CHECK(withoutBlanks(after) == withoutBlanks(before));
}

std::string normalised(const std::string &text) {
    std::string copy = text;
    normalizeBlanks(copy.data());
    return copy.c_str();
}

struct Parsed {
    uint32_t status;
    ProfileLineKind kind;
    ProfileParseBuffers buffers;
};

Parsed parse(ErrCollector *collector, const std::string &line, bool afterCsum) {
    Parsed p{};
    if (afterCsum) std::memcpy(p.buffers.keyName, PROFILE_KEY_CSUM, sizeof PROFILE_KEY_CSUM);
    p.status = profileParseLine(collector, line.c_str(), &p.kind, &p.buffers);
    return p;
}

// The line as the reader hands it to the parser: line feed removed, normalised.
std::string reread(const char *written) {
    std::string line = written;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return normalised(line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    bool afterCsum = (data[0] & 1) != 0;
    const char *text = reinterpret_cast<const char *>(data + 1);
    std::string line(text, strnlen(text, size - 1));
    if (line.size() >= PROFILE_LINE_SIZE) line.resize(PROFILE_LINE_SIZE - 1);

    auto *collector = static_cast<ErrCollector *>(std::malloc(sizeof(ErrCollector)));
    errCollectorReset(collector);

    std::string once = normalised(line);
    checkNormalised(line, once);
    std::string twice = normalised(once);
    FUZZ_CHECK(twice == once);

    Parsed first = parse(collector, once, afterCsum);
    Parsed second = parse(collector, twice, afterCsum);
    FUZZ_CHECK(first.status == second.status && first.kind == second.kind);
    FUZZ_CHECK(std::memcmp(&first.buffers, &second.buffers, sizeof first.buffers) == 0);
    FUZZ_CHECK(first.status == 0 || first.kind == PROFILE_LINE_OTHER);

    // Largest line the saver writes, and its zero.
    char written[PROFILE_WRITE_LINE_SIZE];
    if (first.status == 0 && first.kind == PROFILE_LINE_KEY) {
        int n = std::snprintf(written, sizeof written, "%s = %s\n", first.buffers.keyName,
                              first.buffers.value);
        FUZZ_CHECK(n > 0 && static_cast<size_t>(n) < sizeof written);
        Parsed back = parse(collector, reread(written), afterCsum);
        FUZZ_CHECK(back.status == 0 && back.kind == PROFILE_LINE_KEY);
        FUZZ_CHECK(std::strcmp(back.buffers.keyName, first.buffers.keyName) == 0);
        FUZZ_CHECK(std::strcmp(back.buffers.value, first.buffers.value) == 0);
    }
    if (first.status == 0 && first.kind == PROFILE_LINE_SECTION &&
        first.buffers.sectionName[0] != 0 && std::strchr(first.buffers.version, ']') == nullptr) {
        std::snprintf(written, sizeof written, "[%s %s]\n", first.buffers.sectionName,
                      first.buffers.version);
        Parsed back = parse(collector, reread(written), afterCsum);
        FUZZ_CHECK(back.status == 0 && back.kind == PROFILE_LINE_SECTION);
        FUZZ_CHECK(std::strcmp(back.buffers.sectionName, first.buffers.sectionName) == 0);
        FUZZ_CHECK(std::strcmp(back.buffers.version, first.buffers.version) == 0);
    }
    errCollectorFree(collector);
    return 0;
}
