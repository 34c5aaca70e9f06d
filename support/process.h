// Child processes, for tests that need a second process (a second holder of
// a lock, a writer killed mid-way, a tool whose output is checked), and the
// command line of a program.  Not part of the library.
#pragma once

#include <string>
#include <vector>

using PlatProcess = void *;

// Starts the program at path with the given arguments (argv[0] excluded,
// null-terminated).  Null on failure.
PlatProcess platSpawn(const char *path, const char *const *args);
// Starts the program like platSpawn, with UTF-8 path and arguments, an
// empty standard input, and its standard output and standard error written
// to the files outPath and errPath (UTF-8 paths, created or emptied).  Null
// on failure; no file is left open in this process either way.
PlatProcess platSpawnCaptured(const char *path, const char *const *args, const char *outPath,
                              const char *errPath);
// Waits for the child to end and returns its exit code (-1 on failure).
// Frees the handle.
int platWaitProcess(PlatProcess process);
// Ends the child at once, as a crash would; the handle stays valid for wait.
void platKillProcess(PlatProcess process);
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
