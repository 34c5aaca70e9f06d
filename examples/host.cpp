// A host program: loads the library at run time, finds its exports by name,
// prints the library-information record under both exported names and
// chooses a file for the library's error reports.
//
//   kvinit64_host [LIBRARY [ERROR_FILE]]
//     LIBRARY     default: the library beside this program
//     ERROR_FILE  UTF-8 path, default: kvinit64-errors.log in the current folder
#include "kvinit64.h"
#include "support/dynlib.h"
#include "support/process.h"

#include <cstdio>
#include <string>

namespace {
using GetLibInfoFn = uint32_t (*)(QDKlibInfoRec *);
using SetUserErrorFileFn = uint32_t (*)(int32_t, const char *);

constexpr char DEFAULT_ERROR_FILE[] = "kvinit64-errors.log";

#ifdef _WIN32
constexpr char DEFAULT_LIBRARY[] = "kvinit64.dll";
#else
constexpr char DEFAULT_LIBRARY[] = "libkvinit64.so";
#endif

std::string besideSelf(const char *name) {
    std::string self = platSelfPath();
    size_t cut = self.find_last_of("/\\");
    return cut == std::string::npos ? name : self.substr(0, cut + 1) + name;
}

int printInfo(PlatLibrary library, const char *exportName) {
    auto fn = reinterpret_cast<GetLibInfoFn>(platFindSymbol(library, exportName));
    if (fn == nullptr) {
        std::fprintf(stderr, "export %s not found\n", exportName);
        return 1;
    }
    QDKlibInfoRec info;
    uint32_t status = fn(&info);
    std::printf("%s -> status %u\n", exportName, status);
    if (status != QDK_STATUS_OK) return 1;
    std::printf("  version  %s\n  protocol %s\n  platform %s\n  locale   %s\n", info.version,
                info.protocol, info.platform, info.locale);
    return 0;
}
// Sends the library's error reports to the file (created if missing).
int chooseErrorFile(PlatLibrary library, const char *path) {
    auto fn = reinterpret_cast<SetUserErrorFileFn>(platFindSymbol(library, "QDKsetUserErrorFile"));
    if (fn == nullptr) {
        std::fprintf(stderr, "export QDKsetUserErrorFile not found\n");
        return 1;
    }
    uint32_t status = fn(QDK_ERROR_TO_FILE, path);
    std::printf("QDKsetUserErrorFile(%d, \"%s\") -> status %u\n", QDK_ERROR_TO_FILE, path, status);
    if (status != QDK_STATUS_OK) return 1;
    FILE *file = std::fopen(path, "r");
    std::printf("  error file %s\n", file != nullptr ? "exists" : "is missing");
    if (file != nullptr) std::fclose(file);
    return file != nullptr ? 0 : 1;
}
} // namespace

int main(int argc, char **argv) {
    std::string path = argc > 1 ? argv[1] : besideSelf(DEFAULT_LIBRARY);
    PlatLibrary library = platLoadLibrary(path.c_str());
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", path.c_str());
        return 1;
    }
    std::printf("loaded %s\n", path.c_str());
    int rc = printInfo(library, "QDKgetLibInfo") | printInfo(library, "RE1DBDADF2C91EAD6b");
    rc |= chooseErrorFile(library, argc > 2 ? argv[2] : DEFAULT_ERROR_FILE);
    platUnloadLibrary(library);
    return rc;
}
