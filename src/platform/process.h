// Child processes, for tests that need a second process (a second holder of
// a lock, a writer killed mid-way).  Not part of the library.
#pragma once

using PlatProcess = void *;

// Starts the program at path with the given arguments (argv[0] excluded,
// null-terminated).  Null on failure.
PlatProcess platSpawn(const char *path, const char *const *args);
// Waits for the child to end and returns its exit code (-1 on failure).
// Frees the handle.
int platWaitProcess(PlatProcess process);
// Ends the child at once, as a crash would; the handle stays valid for wait.
void platKillProcess(PlatProcess process);
// The path of the running program.
const char *platSelfPath();
// Sleeps for the given milliseconds.
void platSleepMs(unsigned ms);
