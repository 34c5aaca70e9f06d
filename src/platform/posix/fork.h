// The fork handlers of the POSIX named mutexes (fork.cpp).  Not for use
// elsewhere.
#pragma once

// What the library does around a fork, in three steps: before it, in the
// parent after it, and in the child after it.
struct ForkSteps {
    void (*prepare)();
    void (*parent)();
    void (*child)();
};

// Registers the steps once per process.  Every entry point that can take a
// lock calls it first, always with the same steps; after the first call it
// costs one load.  Returns true when the handlers are in place.
bool ensureForkHandlers(const ForkSteps &steps);
