// The benchmarks' data set: a deterministic profile file of about 18 MB
// (2,000 sections of 100 keys, values of 40 to 120 characters, "CSUM" lines)
// and the same content stored encoded, both written by the library itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int BENCH_SECTIONS = 2000;
constexpr int BENCH_KEYS_PER_SECTION = 100;
constexpr int BENCH_VALUE_MIN = 40;
constexpr int BENCH_VALUE_MAX = 120;

struct BenchData {
    std::string plainPath;   // plain lines, a "CSUM" line closing each section
    std::string encodedPath; // the same lines through the default line encoding
    uint64_t plainBytes;
    uint64_t encodedBytes;
};

// The folder for the data set: $KV_BENCH_DATA, else "bench-data" in the
// current folder.
std::string benchDataDir();

// Writes the data set into dir (created when missing), replacing what is
// there, and checks that both files load with every section intact.
// Returns false with a message in *error on any failure.
bool benchMakeData(const std::string &dir, BenchData *out, std::string *error);

// The same as benchMakeData into benchDataDir(); on failure prints the
// message and ends the process.  Made once per process.
const BenchData &benchData();

// A file of nothing but "[a]" header lines, about 20 MB, in benchDataDir();
// made once per process (or taken as it is with KV_BENCH_REUSE=1).  Its
// path, or an empty text when it cannot be written.
constexpr uint64_t BENCH_HEADER_FILE_BYTES = 20000000;
const std::string &benchHeadersPath();

// Every line of a file, each with its line feed.
std::vector<std::string> benchReadLines(const std::string &path);

// The texts "name=value" of the file's key lines, in file order, leaving out
// the reserved section's lines and the "CSUM" lines.
std::vector<std::string> benchKeyTexts(const std::string &path);

// Copies a file; false on failure.
bool benchCopyFile(const std::string &from, const std::string &to);

// The size of a file in bytes; 0 when it cannot be read.
uint64_t benchFileSize(const std::string &path);
