// Loading a shared library at run time and finding its exports by name.
// Used by hosts (the example) and by the tests of the exported interface.
#pragma once

using PlatLibrary = void *;

// Loads the library at path; null on failure.
PlatLibrary platLoadLibrary(const char *path);
// The address of the named export, or null.
void *platFindSymbol(PlatLibrary library, const char *name);
// Unloads the library.
void platUnloadLibrary(PlatLibrary library);
