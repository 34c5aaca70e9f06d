// Runs a program and prints its peak resident memory in kilobytes.
//
// A child's peak as its parent's wait4 reports it is at least the parent's
// own resident size at the fork (the child starts as a copy of it, or shares
// it when the parent forks with vfork), so a large parent, such as the
// Python that drives the benchmarks, would hide the figure of a small
// program.  This launcher is small: the program it starts is measured alone.
//     kvinit64_peak_memory PROGRAM [ARG...]
// Prints the kilobytes on stdout and passes on the program's exit status;
// the program's own output goes to /dev/null.
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 64;
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
    std::printf("%ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 70;
}
