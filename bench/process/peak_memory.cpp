// Runs a program and prints what it cost, measured apart from the driver:
//     kvinit64_peak_memory PROGRAM [ARG...]
// prints one line "WALL_US USER_US SYS_US MAXRSS_KB MINFLT MAJFLT": the wall
// time from the fork to the end of the wait, the processor time in the
// program and in the kernel for it, its peak resident memory and its page
// faults.  The faults and the peak do not depend on what else the machine
// runs, the times do.
//
// A child's peak as its parent's wait4 reports it is at least the parent's
// own resident size at the fork (the child starts as a copy of it), so a
// large parent, such as the Python that drives the benchmarks, would hide
// the figure of a small program.  This launcher is small: the program it
// starts is measured alone.  Passes on the program's exit status; the
// program's own output goes to /dev/null.
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
long long micros(const timeval &t) { return t.tv_sec * 1000000LL + t.tv_usec; }
long long nowMicros() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}
} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    long long start = nowMicros();
    pid_t child = fork();
    if (child < 0) return 70;
    if (child == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) != child) return 70;
    long long wall = nowMicros() - start;
    std::printf("%lld %lld %lld %ld %ld %ld\n", wall, micros(usage.ru_utime),
                micros(usage.ru_stime), usage.ru_maxrss, usage.ru_minflt, usage.ru_majflt);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 70;
}
