// Whole-process floor of a save: reads every line of a file with fgets and
// writes it with fputs to a new file beside it, flushed to the disk and
// renamed over the old one, as a crash-safe rewrite does.
#include <cstdio>
#include <string>
#include <unistd.h>

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
    bool ok = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    ok = std::fclose(out) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), argv[1]) != 0) return 2;
    std::printf("copied\n");
    return 0;
}
