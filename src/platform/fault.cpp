// The probes' state; compiled only into the testable build.
#include "platform/fault.h"

#ifdef KVINIT64_TESTABLE

#include <atomic>
#include <cstdlib>

namespace {

struct Probe {
    std::atomic<int> skip{0};
    std::atomic<int> times{0};
};

Probe probes[PLAT_FAULT_COUNT];
std::atomic<bool> anyArmed{false};

} // namespace

void platFaultArm(PlatFault probe, int skip, int times) {
    probes[probe].skip.store(skip < 0 ? 0 : skip);
    probes[probe].times.store(times < 0 ? 0 : times);
    anyArmed.store(true);
}

void platFaultReset() {
    for (Probe &p : probes) {
        p.times.store(0);
        p.skip.store(0);
    }
    anyArmed.store(false);
}

bool platFaultHit(PlatFault probe) {
    if (!anyArmed.load(std::memory_order_relaxed)) return false;
    Probe &p = probes[probe];
    if (p.times.load() <= 0) return false;
    if (p.skip.load() > 0) {
        p.skip.fetch_sub(1);
        return false;
    }
    return p.times.fetch_sub(1) > 0;
}

void platCrashPoint() {
    if (platFaultHit(PLAT_FAULT_CRASH)) std::_Exit(PLAT_CRASH_EXIT);
}

#endif // KVINIT64_TESTABLE
