// Fault probes of the platform layer.
//
// Each platform call that can fail in the field checks its probe first, so a
// test can make exactly that call fail without touching the real system.
// Only the testable build (KVINIT64_TESTABLE, linked by tests, fuzz targets
// and benchmarks) has probes: there a disarmed probe costs one relaxed atomic
// load.  In the shipped libraries every check is the constant false and the
// probes do not exist.  A new probe is one more enum value, checked with
// platFaultHit where the call is made.
#pragma once

enum PlatFault {
    PLAT_FAULT_SECURITY,     // building the null-access security descriptor
    PLAT_FAULT_MUTEX_CREATE, // creating or opening a named mutex
    PLAT_FAULT_MUTEX_WAIT,   // a wait that fails outright
    PLAT_FAULT_FILE_OPEN,    // opening a file by its UTF-8 path
    PLAT_FAULT_FILE_WRITE,   // writing to a stream
    PLAT_FAULT_FILE_SYNC,    // flushing a file to stable storage
    PLAT_FAULT_FILE_RENAME,  // replacing one file by another
    PLAT_FAULT_FILE_TEMP,    // creating a temporary file beside another
    PLAT_FAULT_FILE_INPLACE, // the in-place copy when a file cannot be replaced
    PLAT_FAULT_FILE_LOCK,    // taking a file's update lock (as if another held it)
    PLAT_FAULT_FILE_OWNER,   // giving a new file another file's owner and attributes
    PLAT_FAULT_FILE_REDO,    // making the redo copy of an in-place write
    // Not a failure but a crash: the process ends at once, as if killed,
    // at the chosen step of a rewrite (each write, flush, rename and
    // removal of the in-place path counts as one step; platCrashPoint).
    PLAT_FAULT_CRASH,
    PLAT_FAULT_COUNT
};

#ifdef KVINIT64_TESTABLE

// Arms a probe: the call after `skip` further calls through the probe fails,
// and so do the `times - 1` calls after it.
void platFaultArm(PlatFault probe, int skip, int times);

// Disarms every probe.
void platFaultReset();

// True when this call through the probe must fail; consumes the arming.
bool platFaultHit(PlatFault probe);

// A step of a rewrite where a test may end the process (PLAT_FAULT_CRASH):
// when the probe hits, the process exits at once with status
// PLAT_CRASH_EXIT, running no exit handlers and flushing no stream.
constexpr int PLAT_CRASH_EXIT = 86;
void platCrashPoint();

#else

// The shipped build: no call ever fails on purpose, and a probe check is the
// constant false (a macro, so that not even an unoptimised build keeps a
// function for it).
#define platFaultHit(probe) ((void)(probe), false)
#define platCrashPoint() ((void)0)

#endif
