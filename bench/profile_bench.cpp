// Loading, saving and checksumming the 18 MB data set, beside the parsers a
// user would pick instead (inih, SimpleIni), the fputs floor and a plain
// weighted sum, and the built-in line encoding alone.  Every figure is wall
// time per operation.
#include "data.h"
#include "profile/checksum.h"
#include "profile/context.h"
#include "profile/limits.h"
#include "profile/linecodec.h"
#include "profile/linescan.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <SimpleIni.h>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <ini.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int32_t benchContext() {
    static int32_t context = [] {
        int32_t index = -1;
        if (profileOpenLib(&index, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0)
            std::abort();
        return index;
    }();
    return context;
}

void loadProfile(benchmark::State &state, const std::string &path, uint32_t openFlags) {
    int32_t context = benchContext();
    for (auto _ : state) {
        ProfileFile *file = nullptr;
        uint32_t status =
            profileOpenFile(context, path.c_str(), PROFILE_OPEN_READ, &file, openFlags, 0);
        if (status == 0) status = profileCloseFile(&file, 0, 0);
        if (status != 0) state.SkipWithError("profile load failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchFileSize(path)));
}

void BM_load_profile(benchmark::State &state) { loadProfile(state, benchData().plainPath, 0); }

void BM_load_encoded(benchmark::State &state) {
    loadProfile(state, benchData().encodedPath, PROFILE_OPEN_FLAG_DECODE);
}

int ignoreEntry(void *, const char *, const char *, const char *) { return 1; }

void BM_load_inih(benchmark::State &state) {
    const std::string &path = benchData().plainPath;
    for (auto _ : state)
        if (ini_parse(path.c_str(), ignoreEntry, nullptr) != 0) state.SkipWithError("inih failed");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchData().plainBytes));
}

void BM_load_simpleini(benchmark::State &state) {
    const std::string &path = benchData().plainPath;
    for (auto _ : state) {
        CSimpleIniA ini;
        if (ini.LoadFile(path.c_str()) < 0) state.SkipWithError("SimpleIni failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchData().plainBytes));
}

// The floor of a load: every line read with fgets into a buffer of the
// loader's line size, nothing else done with it.
void BM_load_fgets(benchmark::State &state) {
    const std::string &path = benchData().plainPath;
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            state.SkipWithError("fopen failed");
            break;
        }
        char line[PROFILE_LINE_SIZE];
        size_t lines = 0;
        while (std::fgets(line, sizeof line, f) != nullptr) ++lines;
        benchmark::DoNotOptimize(lines);
        std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchData().plainBytes));
}

std::string workPath(const char *name) { return benchDataDir() + "/" + name; }

// The rewrite at close of a file opened "r+", with "CSUM" lines; the load
// before it is not timed.
void BM_save_profile(benchmark::State &state) {
    std::string path = workPath("save.ini");
    if (!benchCopyFile(benchData().plainPath, path)) state.SkipWithError("copy failed");
    int32_t context = benchContext();
    for (auto _ : state) {
        state.PauseTiming();
        ProfileFile *file = nullptr;
        uint32_t status = profileOpenFile(context, path.c_str(), PROFILE_OPEN_UPDATE, &file, 0, 0);
        state.ResumeTiming();
        if (status == 0) status = profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, 0);
        if (status != 0) state.SkipWithError("profile save failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchFileSize(path)));
}

void BM_save_simpleini(benchmark::State &state) {
    CSimpleIniA ini;
    if (ini.LoadFile(benchData().plainPath.c_str()) < 0) state.SkipWithError("SimpleIni failed");
    std::string path = workPath("simpleini-out.ini");
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        if (ini.SaveFile(path.c_str()) < 0) state.SkipWithError("SimpleIni save failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchFileSize(path)));
}

// The floor: the bytes of a saved file, written line by line with fputs to
// a new file.
void BM_save_fputs(benchmark::State &state) {
    std::vector<std::string> lines = benchReadLines(benchData().plainPath);
    std::string path = workPath("fputs-out.ini");
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            state.SkipWithError("fopen failed");
            break;
        }
        for (const std::string &line : lines) std::fputs(line.c_str(), f);
        std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(benchFileSize(path)));
}

// The key texts "name=value" of the data set, zero-terminated one after the
// other in one buffer.
struct KeyTexts {
    std::string buffer;
    std::vector<size_t> starts;
};

const KeyTexts &keyTexts() {
    static KeyTexts texts = [] {
        KeyTexts t;
        for (const std::string &text : benchKeyTexts(benchData().plainPath)) {
            t.starts.push_back(t.buffer.size());
            t.buffer += text;
            t.buffer += '\0';
        }
        return t;
    }();
    return texts;
}

void BM_checksum_profile(benchmark::State &state) {
    const KeyTexts &texts = keyTexts();
    for (auto _ : state) {
        uint32_t sum = 0;
        for (size_t start : texts.starts)
            sum += profileLineChecksum(texts.buffer.data() + start, PROFILE_DEFAULT_TRANSFORM);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(texts.buffer.size()));
}

// The baseline: weight times byte over the same texts, the weights taken in
// turn from a table of 200.
uint32_t plainWeights[200];

void BM_checksum_plain(benchmark::State &state) {
    for (uint32_t i = 0; i < 200; ++i) plainWeights[i] = 97 + 7 * i;
    const KeyTexts &texts = keyTexts();
    for (auto _ : state) {
        uint32_t sum = 0;
        for (size_t start : texts.starts) {
            uint32_t p = 0;
            for (const char *c = texts.buffer.data() + start; *c != '\0'; ++c) {
                if (p == 200) p = 0;
                sum += plainWeights[p++] * static_cast<unsigned char>(*c);
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(texts.buffer.size()));
}

// The stored lines of the encoded file (each with its line feed), zero-
// terminated one after the other in one buffer, and their plain forms the
// same way: what the load hands the built-in decodeLine and the save hands
// the built-in encodeLine.
struct CodecLines {
    std::string stored;
    std::vector<size_t> storedStarts;
    std::string plain;
    std::vector<size_t> plainStarts;
};

const CodecLines &codecLines() {
    static CodecLines lines = [] {
        CodecLines c;
        char out[PROFILE_LINE_SIZE];
        for (const std::string &line : benchReadLines(benchData().encodedPath)) {
            if (defaultDecodeLine(line.c_str(), out, sizeof out, PROFILE_DEFAULT_TRANSFORM, 0) != 0)
                continue; // not an encoded line
            c.storedStarts.push_back(c.stored.size());
            c.stored += line;
            c.stored += '\0';
            c.plainStarts.push_back(c.plain.size());
            c.plain += out;
            c.plain += '\0';
        }
        return c;
    }();
    return lines;
}

// The built-in decoding alone over every line of the encoded file, as the
// load calls it (the end of each line known); bytes are stored bytes.
void BM_codec_decodeLine(benchmark::State &state) {
    const CodecLines &lines = codecLines();
    char out[PROFILE_LINE_SIZE];
    for (auto _ : state) {
        uint32_t failed = 0;
        size_t plainLength = 0;
        for (size_t i = 0; i < lines.storedStarts.size(); ++i) {
            const size_t start = lines.storedStarts[i];
            const size_t next =
                i + 1 < lines.storedStarts.size() ? lines.storedStarts[i + 1] : lines.stored.size();
            // Each line is followed by its line feed and a zero.
            failed |= lineCodecDecode(lines.stored.data() + start, next - start - 2, out,
                                      sizeof out, PROFILE_DEFAULT_TRANSFORM, &plainLength);
        }
        benchmark::DoNotOptimize(failed);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(lines.stored.size()));
}

// Each line found and decoded where it stands, as the load does it in its
// read block (lineCodecDecodeNext, the split's scan on the way), against
// each plain line found and scanned for the split the same way
// (profileScanPlainLine): the per-line work of the encoded load that the
// plain load does not do, without the rest of the load.
void BM_codec_decodeNext(benchmark::State &state) {
    const CodecLines &lines = codecLines();
    char out[PROFILE_LINE_SIZE];
    for (auto _ : state) {
        uint32_t failed = 0;
        for (size_t at = 0; at < lines.stored.size();) {
            size_t lineLength = 0, plainLength = 0;
            ProfileLineScan scan{};
            const size_t available = std::min(lines.stored.size() - at, PROFILE_LINE_SIZE - 1);
            failed |=
                lineCodecDecodeNext(lines.stored.data() + at, available, out, sizeof out,
                                    PROFILE_DEFAULT_TRANSFORM, &lineLength, &plainLength, &scan);
            benchmark::DoNotOptimize(scan);
            at += lineLength + 1; // and the zero after the line
            if (lineLength == 0) break;
        }
        benchmark::DoNotOptimize(failed);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(lines.stored.size()));
}

void BM_scan_plainLine(benchmark::State &state) {
    const CodecLines &lines = codecLines();
    for (auto _ : state) {
        size_t found = 0;
        for (size_t at = 0; at < lines.plain.size();) {
            size_t lineLength = 0;
            ProfileLineScan scan{};
            const size_t available = std::min(lines.plain.size() - at, PROFILE_LINE_SIZE - 1);
            if (!profileScanPlainLine(lines.plain.data() + at, available, &lineLength, &scan))
                break;
            benchmark::DoNotOptimize(scan);
            at += lineLength + 1;
            ++found;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(lines.plain.size()));
}

// The built-in encodeLine alone over the same lines in plain form; bytes are
// plain bytes.
void BM_codec_encodeLine(benchmark::State &state) {
    const CodecLines &lines = codecLines();
    char out[PROFILE_ENCODE_SIZE];
    for (auto _ : state) {
        uint32_t failed = 0;
        for (size_t start : lines.plainStarts)
            failed |= defaultEncodeLine(lines.plain.data() + start, out, sizeof out,
                                        PROFILE_DEFAULT_TRANSFORM, 0);
        benchmark::DoNotOptimize(failed);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(lines.plain.size()));
}

} // namespace

BENCHMARK(BM_load_profile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_load_inih)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_load_simpleini)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_load_fgets)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_load_encoded)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_save_profile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_save_simpleini)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_save_fputs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_checksum_profile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_checksum_plain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_codec_decodeLine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_codec_encodeLine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_codec_decodeNext)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_scan_plainLine)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
