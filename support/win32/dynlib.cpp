#include "support/dynlib.h"

#include <windows.h>

PlatLibrary platLoadLibrary(const char *path) { return LoadLibraryA(path); }

void *platFindSymbol(PlatLibrary library, const char *name) {
    if (library == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platUnloadLibrary(PlatLibrary library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}
