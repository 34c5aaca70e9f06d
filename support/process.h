// Child processes, for tests that need a second process (a second holder of
// a lock, a writer killed mid-way, a tool whose output is checked), and the
// command line of a program.  Not part of the library.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

using PlatProcess = void *;

// Starts the program at path (UTF-8) with the given arguments (UTF-8,
// argv[0] excluded, null-terminated).  Null on failure.
PlatProcess platSpawn(const char *path, const char *const *args);
// Starts the program like platSpawn, with an
// empty standard input, and its standard output and standard error written
// to the files outPath and errPath (UTF-8 paths, created or emptied).  Null
// on failure; no file is left open in this process either way.
PlatProcess platSpawnCaptured(const char *path, const char *const *args, const char *outPath,
                              const char *errPath);
// Waits for the child to end and returns its exit code (-1 on failure).
// Frees the handle.
int platWaitProcess(PlatProcess process);
// Waits at most ms milliseconds for the child to end: its exit code (-1 on
// failure), or PLAT_PROCESS_HUNG when it had not ended by then; it is then
// killed.  Frees the handle either way.
constexpr int PLAT_PROCESS_HUNG = -2;
int platWaitProcessFor(PlatProcess process, unsigned ms);
// Ends the child at once, as a crash would; the handle stays valid for wait.
void platKillProcess(PlatProcess process);
// POSIX: forks; the child runs childMain(arg) and ends with its result,
// running no exit handlers.  Null on failure, and on Windows (no fork).
PlatProcess platFork(int (*childMain)(void *), void *arg);
// Makes a FIFO at path.  0, or -1 on failure and on Windows.
int platMakeFifo(const char *path);
// A stream that writes into a pipe whose reading end is already closed, so
// every write to it fails.  Null on failure.
FILE *platBrokenPipeStream();

// Threads that can be cancelled (POSIX): fn(arg) runs on a new thread.
// Null on failure, and on Windows (no thread cancellation).
using PlatThread = void *;
PlatThread platStartThread(void (*fn)(void *), void *arg);
// Asks for the thread's cancellation.
void platCancelThread(PlatThread thread);
// Waits for the thread to end: 1 when it was cancelled, 0 when fn returned,
// -1 on failure.  Frees the handle.
int platJoinThread(PlatThread thread);
// A cancellation point: a pending cancel of the calling thread acts here.
void platCancellationPoint();
// The path of the running program.
const char *platSelfPath();
// Sleeps for the given milliseconds.
void platSleepMs(unsigned ms);
// Makes the calling process run as an unprivileged user from now on, so a
// test can see what a file's permission bits refuse (the superuser reads
// anything).  POSIX: a process of the superuser becomes user and group 65534
// ("nobody"); any other process is unprivileged already.  Returns 0 when the
// process runs unprivileged, -1 when that cannot be arranged (Windows, where
// files are guarded by access lists instead).
int platDropPrivileges();
// The running program's arguments, argv[0] included, as UTF-8 texts.  On
// Windows they are read from the wide command line, so texts outside the
// ANSI code page survive; elsewhere they are argv as given.
std::vector<std::string> platArgumentsUtf8(int argc, char **argv);
