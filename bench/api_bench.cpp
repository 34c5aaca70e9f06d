// One exported call (QDKgetLibInfo) from one and from two threads, beside an
// uncontended std::mutex lock and unlock around filling a 164-byte record,
// and (for reference: how two threads fare on this machine with the plainest
// lock) the same from two threads.
#include "kvinit64.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <mutex>

namespace {

void BM_call_getLibInfo(benchmark::State &state) {
    QDKlibInfoRec info;
    for (auto _ : state) {
        if (QDKgetLibInfo(&info) != QDK_STATUS_OK) state.SkipWithError("call failed");
        benchmark::DoNotOptimize(info);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_call_mutexFill(benchmark::State &state) {
    static std::mutex mutex;
    QDKlibInfoRec info;
    for (auto _ : state) {
        mutex.lock();
        std::memset(&info, 0, sizeof info);
        benchmark::DoNotOptimize(info);
        mutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_call_getLibInfo)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_call_getLibInfo)->Unit(benchmark::kNanosecond)->UseRealTime()->Threads(2);
BENCHMARK(BM_call_mutexFill)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_call_mutexFill)->Unit(benchmark::kNanosecond)->UseRealTime()->Threads(2);

BENCHMARK_MAIN();
