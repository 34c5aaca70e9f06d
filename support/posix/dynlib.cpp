#include "support/dynlib.h"

#include <dlfcn.h>

PlatLibrary platLoadLibrary(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void *platFindSymbol(PlatLibrary library, const char *name) {
    return library == nullptr ? nullptr : dlsym(library, name);
}

void platUnloadLibrary(PlatLibrary library) {
    if (library != nullptr) dlclose(library);
}
