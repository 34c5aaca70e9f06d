// Whole-process figure of the library alone: opens a profile file for
// reading (which loads it whole) and closes it, nothing else; its peak
// resident memory is the load's, beside the size of the file.
#include "profile/context.h"
#include "profile/operations.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    int32_t context = -1;
    if (profileOpenLib(&context, 0, PROFILE_IO_STREAM, nullptr, nullptr, nullptr, nullptr) != 0)
        return 2;
    ProfileFile *file = nullptr;
    uint32_t status = profileOpenFile(context, argv[1], PROFILE_OPEN_READ, &file, 0, 0);
    if (status != 0) return 2;
    std::printf("%d sections\n", file->sectionCount);
    return profileCloseFile(&file, 0, 0) == 0 ? 0 : 2;
}
