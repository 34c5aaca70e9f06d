// Whole-process figures of the library alone:
//     kvinit64_proc_load FILE            open for reading (the whole load) and close
//     kvinit64_proc_load --decode FILE   the same, decoding every line (the encoded file)
//     kvinit64_proc_load --save FILE     open for update and close with "CSUM" lines:
//                                        the load, the save and the crash-safe rewrite
// Nothing else, so that its time and peak resident memory are the load's
// (and the save's), beside the size of the file.
#include "profile/context.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    const char *mode = argc == 3 ? argv[1] : "";
    if (argc < 2 || argc > 3 ||
        (argc == 3 && std::strcmp(mode, "--decode") != 0 && std::strcmp(mode, "--save") != 0))
        return 64;
    bool save = std::strcmp(mode, "--save") == 0;
    int32_t context = -1;
    if (profileOpenLib(&context, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0)
        return 2;
    ProfileFile *file = nullptr;
    uint32_t flags = std::strcmp(mode, "--decode") == 0 ? PROFILE_OPEN_FLAG_DECODE : 0;
    uint32_t status = profileOpenFile(
        context, argv[argc - 1], save ? PROFILE_OPEN_UPDATE : PROFILE_OPEN_READ, &file, flags, 0);
    if (status != 0) return 2;
    std::printf("%d sections\n", file->sectionCount);
    return profileCloseFile(&file, save ? PROFILE_SAVE_CHECKSUMS : 0, 0) == 0 ? 0 : 2;
}
