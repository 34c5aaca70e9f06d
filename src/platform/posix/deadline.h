// Deadlines of the timed waits of the POSIX named mutexes.
#pragma once

#include <cstdint>
#include <ctime>

// The moment `ms` milliseconds from now on `clock`.
inline timespec deadlineAfter(clockid_t clock, uint32_t ms) {
    timespec t;
    clock_gettime(clock, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// True once `clock` has reached the deadline.
inline bool deadlinePassed(clockid_t clock, const timespec &deadline) {
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}
