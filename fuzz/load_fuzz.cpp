// The loader and the saver on arbitrary bytes, through the caller's line
// functions (I/O mode 1).
//
// Input: one byte of choices, four bytes of transform parameter, then the
// content of the file.  Choices:
//   bit 0     open with the decode flag (and save with encodeLine);
//   bit 1     encode every line of the content first, so that the decode path
//             reaches the parser;
//   bit 2     the context has its own line codec and so takes the parameter;
//   bits 3-4  the save: 0 and 3 checksums, 1 checksums and refresh, 2 none;
//   bits 5-6  the open mode (3 counts as 1).
// Checks: no crash, leak or undefined behaviour; a failed open hands back no
// file and leaves its reason in the collector; a file that loads, saved and
// loaded again, has the same ordinary sections, versions, keys and damaged
// flags (none damaged when the save refreshed the checksums or wrote none),
// and saving it once more writes the same bytes.
#include "fuzz_check.h"
#include "fuzz_profile.h"
#include "profile/limits.h"
#include "profile/linecodec.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <cstdint>
#include <string>

namespace {

constexpr char PATH[] = "fuzz/profile.ini";

ProfileFile *open(const FuzzContext &ctx, FuzzMemoryFile &m, uint32_t mode, uint32_t flags,
                  uint32_t *status) {
    ProfileFile *file = nullptr;
    *status = profileOpenFile(ctx.index, PATH, mode, &file, flags, m.user());
    FUZZ_CHECK((*status == 0) == (file != nullptr));
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const uint8_t choices = data[0];
    const bool decode = (choices & 1) != 0;
    const bool preEncode = (choices & 2) != 0;
    const bool ownCodec = (choices & 4) != 0;
    const uint32_t saveKind = (choices >> 3) & 3;
    uint32_t openMode = (choices >> 5) & 3;
    if (openMode == 3) openMode = PROFILE_OPEN_UPDATE;
    const uint32_t parameter =
        static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
        static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    const std::string content(reinterpret_cast<const char *>(data + 5), size - 5);

    FuzzContext ctx(PROFILE_IO_CALLER, parameter, ownCodec);
    const uint32_t transform = profileContexts[ctx.index].transform;
    const uint32_t openFlags = decode ? PROFILE_OPEN_FLAG_DECODE : 0;
    uint32_t saveFlags = saveKind == 2 ? 0 : PROFILE_SAVE_CHECKSUMS;
    if (saveKind == 1) saveFlags |= PROFILE_SAVE_REFRESH;
    if (decode) saveFlags |= PROFILE_SAVE_ENCODE;
    const bool keepsDamage = saveKind == 0 || saveKind == 3;

    FuzzMemoryFile source;
    source.input = preEncode ? fuzzEncodeLines(content, transform) : content;
    uint32_t status = 0;
    ProfileFile *file = open(ctx, source, openMode, openFlags, &status);
    if (file == nullptr) {
        FUZZ_CHECK(ctx.collector()->count > 0);
        return 0;
    }
    int32_t ordinary = 0;
    for (CursorNode *n = file->sections->head; n != nullptr; n = n->next)
        if (std::strcmp(profileSectionName(
                            static_cast<ProfileSection *>(cursorNodeElement(file->sections, n))),
                        PROFILE_RESERVED_SECTION) != 0)
            ++ordinary;
    FUZZ_CHECK(file->sectionCount == ordinary);
    const std::string loaded = fuzzDescribe(file, keepsDamage);

    FuzzMemoryFile saved;
    status = profileCloseFile(&file, saveFlags, saved.user());
    uint32_t reloadFlags = openFlags;
    if (status != 0) {
        // Only encodeLine may refuse: a line whose stored form does not fit.
        // The file stays with the caller, who may save it plainly.
        FUZZ_CHECK(decode && status == PROFILE_STATUS_BAD_PARAMS && file != nullptr);
        saveFlags &= ~PROFILE_SAVE_ENCODE;
        reloadFlags = 0;
        saved.output.clear();
        status = profileCloseFile(&file, saveFlags, saved.user());
        FUZZ_CHECK(status == 0);
    }
    FUZZ_CHECK(file == nullptr);

    FuzzMemoryFile again;
    again.input = saved.output;
    ProfileFile *reloaded = open(ctx, again, PROFILE_OPEN_READ, reloadFlags, &status);
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(fuzzDescribe(reloaded, keepsDamage) == loaded);
    if (!keepsDamage) FUZZ_CHECK(fuzzDescribe(reloaded, false) == fuzzDescribe(reloaded, true));

    // In I/O mode 1 every close saves: the second save writes what the first did.
    FuzzMemoryFile savedAgain;
    FUZZ_CHECK(profileCloseFile(&reloaded, saveFlags, savedAgain.user()) == 0);
    FUZZ_CHECK(savedAgain.output == saved.output);
    return 0;
}
