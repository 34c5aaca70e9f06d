// Peak heap while the 18 MB data set is loaded, beside the file's size, for
// the library and, for reference, SimpleIni.  Each figure is a counter of a
// single-iteration benchmark: peak_bytes (highest heap in use above the
// level before the load, load included), file_bytes.
#include "data.h"
#include "heap_counter.h"
#include "profile/context.h"
#include "profile/operations.h"

#include <SimpleIni.h>
#include <benchmark/benchmark.h>

namespace {

void report(benchmark::State &state, int64_t peak, uint64_t fileBytes) {
    state.counters["peak_bytes"] = static_cast<double>(peak);
    state.counters["file_bytes"] = static_cast<double>(fileBytes);
}

void report(benchmark::State &state, int64_t peak) { report(state, peak, benchData().plainBytes); }

// Peak heap of loading one file (open "r") above the level before it.
int64_t loadPeak(benchmark::State &state, const std::string &path) {
    int32_t context = -1;
    if (profileOpenLib(&context, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0)
        state.SkipWithError("no context");
    heapResetPeak();
    int64_t before = heapInUse();
    ProfileFile *file = nullptr;
    if (profileOpenFile(context, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0) != 0)
        state.SkipWithError("load failed");
    int64_t peak = heapPeak() - before;
    profileCloseFile(&file, 0, 0);
    uint32_t index = static_cast<uint32_t>(context);
    profileCloseLib(&index);
    return peak;
}

// A file of nothing but short headers: the records of the sections are all
// there is.
void BM_heap_headers(benchmark::State &state) {
    const std::string &path = benchHeadersPath();
    if (path.empty()) state.SkipWithError("cannot write the headers file");
    int64_t peak = 0;
    for (auto _ : state) peak = loadPeak(state, path);
    report(state, peak, benchFileSize(path));
}

void BM_heap_profile(benchmark::State &state) {
    int32_t context = -1;
    if (profileOpenLib(&context, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0)
        state.SkipWithError("no context");
    int64_t peak = 0;
    for (auto _ : state) {
        heapResetPeak();
        int64_t before = heapInUse();
        ProfileFile *file = nullptr;
        if (profileOpenFile(context, benchData().plainPath.c_str(), PROFILE_OPEN_READ, &file, 0,
                            0) != 0)
            state.SkipWithError("load failed");
        peak = heapPeak() - before;
        profileCloseFile(&file, 0, 0);
    }
    uint32_t index = static_cast<uint32_t>(context);
    profileCloseLib(&index);
    report(state, peak);
}

void BM_heap_simpleini(benchmark::State &state) {
    int64_t peak = 0;
    for (auto _ : state) {
        heapResetPeak();
        int64_t before = heapInUse();
        {
            CSimpleIniA ini;
            if (ini.LoadFile(benchData().plainPath.c_str()) < 0)
                state.SkipWithError("SimpleIni failed");
            peak = heapPeak() - before;
        }
    }
    report(state, peak);
}

} // namespace

BENCHMARK(BM_heap_profile)->Iterations(1);
BENCHMARK(BM_heap_headers)->Iterations(1);
BENCHMARK(BM_heap_simpleini)->Iterations(1);

BENCHMARK_MAIN();
