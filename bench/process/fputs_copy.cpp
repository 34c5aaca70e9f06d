// Whole-process floor of a save: reads every line of a file with fgets and
// writes it with fputs to a new file beside it, flushed to the disk and
// renamed over the old one, as a crash-safe rewrite does.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
// The file's data on the disk: fsync, or _commit (FlushFileBuffers) on Windows.
bool flushToDisk(FILE *f) {
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}
} // namespace

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    std::string temp = std::string(argv[1]) + ".fputs-tmp";
    FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 2;
    FILE *out = std::fopen(temp.c_str(), "wb");
    if (out == nullptr) return 2;
    char line[4566];
    while (std::fgets(line, sizeof line, in) != nullptr) std::fputs(line, out);
    std::fclose(in);
    bool ok = std::fflush(out) == 0 && flushToDisk(out);
    ok = std::fclose(out) == 0 && ok;
    // std::filesystem::rename replaces an existing file on Windows too.
    std::error_code error;
    if (ok) std::filesystem::rename(temp, argv[1], error);
    if (!ok || error) return 2;
    std::printf("copied\n");
    return 0;
}
