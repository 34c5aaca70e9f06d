#include "data.h"

#include "profile/context.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// splitmix64: small, fast and the same everywhere, so the data never changes.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int between(int lo, int hi) { return lo + static_cast<int>(next() % (hi - lo + 1)); }
};

// Characters that every reader under test takes as plain value text: no
// comment, section or delimiter characters of any of them, and none that
// the profile reader refuses.
constexpr char VALUE_CHARS[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-/,+()";
constexpr char NAME_CHARS[] = "abcdefghijklmnopqrstuvwxyz";

void appendRandom(std::string &out, Rng &rng, const char *chars, size_t count, int length) {
    for (int i = 0; i < length; ++i) out += chars[rng.next() % count];
}

// A value of 40 to 120 characters with single blanks inside (never at either
// end, never two in a row), so that loading keeps it exactly.
void appendValue(std::string &out, Rng &rng) {
    int length = rng.between(BENCH_VALUE_MIN, BENCH_VALUE_MAX);
    char previous = ' ';
    for (int i = 0; i < length; ++i) {
        bool blank = previous != ' ' && i != length - 1 && rng.next() % 8 == 0;
        previous = blank ? ' ' : VALUE_CHARS[rng.next() % (sizeof VALUE_CHARS - 1)];
        out += previous;
    }
}

std::string plainText(const std::string &path) {
    Rng rng{0x6B76696E69743634ull};
    std::string text;
    text.reserve(20u << 20);
    text += "[S-y-S-t-E-m 1]\nFILENAME = " + path +
            "\nNUMSECTION = " + std::to_string(BENCH_SECTIONS) + "\n";
    for (int s = 0; s < BENCH_SECTIONS; ++s) {
        text += "\n[Sec" + std::to_string(s) + "_";
        appendRandom(text, rng, NAME_CHARS, sizeof NAME_CHARS - 1, rng.between(4, 16));
        text += " " + std::to_string(rng.between(1, 9)) + "." + std::to_string(s % 100) + "]\n";
        for (int k = 0; k < BENCH_KEYS_PER_SECTION; ++k) {
            appendRandom(text, rng, NAME_CHARS, sizeof NAME_CHARS - 1, rng.between(3, 12));
            text += "_" + std::to_string(k) + " = ";
            appendValue(text, rng);
            text += "\n";
        }
    }
    return text;
}

bool writeText(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// Opens the file "r+" and closes it with the given save flags, so the
// library itself writes the "CSUM" lines (and the encoding).
bool rewrite(int32_t context, const std::string &path, uint32_t saveFlags, std::string *error) {
    ProfileFile *file = nullptr;
    uint32_t status = profileOpenFile(context, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0);
    if (status == 0) status = profileCloseFile(&file, saveFlags, 0);
    if (status != 0) *error = "rewriting " + path + " failed with " + std::to_string(status);
    return status == 0;
}

// Loads the file and checks the section count and a few sections.
bool check(int32_t context, const std::string &path, uint32_t openFlags, std::string *error) {
    ProfileFile *file = nullptr;
    uint32_t status =
        profileOpenFile(context, path.c_str(), PROFILE_OPEN_READ, &file, openFlags, 0);
    if (status != 0) {
        *error = "loading " + path + " failed with " + std::to_string(status);
        return false;
    }
    bool ok = file->sectionCount == BENCH_SECTIONS;
    int checked = 0;
    for (CursorNode *node = file->sections->head; node != nullptr && ok; node = node->next) {
        auto *section = static_cast<ProfileSection *>(cursorNodeElement(file->sections, node));
        if (std::string(profileSectionName(section)) == PROFILE_RESERVED_SECTION) continue;
        ok = profileSectionKeyCount(section) == BENCH_KEYS_PER_SECTION &&
             profileSectionDetail(section)->damaged == 0 &&
             profileSectionDetail(section)->storedChecksum == section->checksum;
        ++checked;
    }
    ok = ok && checked == BENCH_SECTIONS;
    profileCloseFile(&file, 0, 0);
    if (!ok) *error = path + " did not load as written";
    return ok;
}

} // namespace

std::string benchDataDir() {
    const char *dir = std::getenv("KV_BENCH_DATA");
    return dir != nullptr && *dir != '\0' ? dir : "bench-data";
}

bool benchMakeData(const std::string &dir, BenchData *out, std::string *error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    out->plainPath = dir + "/plain.ini";
    out->encodedPath = dir + "/encoded.ini";
    if (!writeText(out->plainPath, plainText(out->plainPath))) {
        *error = "cannot write " + out->plainPath;
        return false;
    }
    int32_t context = -1;
    if (profileOpenLib(&context, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0) {
        *error = "no profile context";
        return false;
    }
    bool ok = rewrite(context, out->plainPath, PROFILE_SAVE_CHECKSUMS, error);
    if (ok && !benchCopyFile(out->plainPath, out->encodedPath)) {
        *error = "cannot copy to " + out->encodedPath;
        ok = false;
    }
    ok = ok &&
         rewrite(context, out->encodedPath, PROFILE_SAVE_CHECKSUMS | PROFILE_SAVE_ENCODE, error);
    ok = ok && check(context, out->plainPath, 0, error);
    ok = ok && check(context, out->encodedPath, PROFILE_OPEN_FLAG_DECODE, error);
    uint32_t index = static_cast<uint32_t>(context);
    profileCloseLib(&index);
    out->plainBytes = benchFileSize(out->plainPath);
    out->encodedBytes = benchFileSize(out->encodedPath);
    return ok;
}

const BenchData &benchData() {
    static BenchData data = [] {
        BenchData d{};
        std::string error;
        // KV_BENCH_REUSE=1 takes the files made by an earlier run, so that a
        // profiler sees the benchmark alone.
        const char *reuse = std::getenv("KV_BENCH_REUSE");
        if (reuse != nullptr && std::string(reuse) == "1") {
            d.plainPath = benchDataDir() + "/plain.ini";
            d.encodedPath = benchDataDir() + "/encoded.ini";
            d.plainBytes = benchFileSize(d.plainPath);
            d.encodedBytes = benchFileSize(d.encodedPath);
            if (d.plainBytes != 0 && d.encodedBytes != 0) return d;
        }
        if (!benchMakeData(benchDataDir(), &d, &error)) {
            std::fprintf(stderr, "bench data: %s\n", error.c_str());
            std::exit(2);
        }
        return d;
    }();
    return data;
}

const std::string &benchHeadersPath() {
    static std::string path = [] {
        std::string p = benchDataDir() + "/headers.ini";
        const char *reuse = std::getenv("KV_BENCH_REUSE");
        if (reuse != nullptr && std::string(reuse) == "1" &&
            benchFileSize(p) == BENCH_HEADER_FILE_BYTES)
            return p;
        std::error_code ec;
        std::filesystem::create_directories(benchDataDir(), ec);
        std::string text;
        text.reserve(BENCH_HEADER_FILE_BYTES);
        while (text.size() < BENCH_HEADER_FILE_BYTES) text += "[a]\n";
        return writeText(p, text) ? p : std::string();
    }();
    return path;
}

std::vector<std::string> benchReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line + "\n");
    return lines;
}

std::vector<std::string> benchKeyTexts(const std::string &path) {
    std::vector<std::string> texts;
    bool reserved = false;
    for (const std::string &line : benchReadLines(path)) {
        if (line[0] == '[') {
            reserved = line.compare(0, 13, "[S-y-S-t-E-m ") == 0;
            continue;
        }
        size_t sign = line.find(" = ");
        if (reserved || sign == std::string::npos || line.compare(0, sign, "CSUM") == 0) continue;
        texts.push_back(line.substr(0, sign) + "=" + line.substr(sign + 3, line.size() - sign - 4));
    }
    return texts;
}

bool benchCopyFile(const std::string &from, const std::string &to) {
    std::error_code ec;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                      ec);
}

uint64_t benchFileSize(const std::string &path) {
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}
