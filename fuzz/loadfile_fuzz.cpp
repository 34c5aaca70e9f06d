// The loader and the rewrite on arbitrary bytes in a real file (I/O mode 0,
// the default line functions).
//
// Input: one byte of choices, four bytes of transform parameter, then the
// file's content.  Choices: bits 0-1 the open mode (3 counts as 1); bit 2
// open with the decode flag and save with encodeLine; bit 3 encode every line
// of the content first; bit 4 the context has its own line codec (and takes
// the parameter); bit 5 refresh the checksums.
// Checks, beside crashes, leaks and undefined behaviour:
//  - a failed open, and any open and close in open mode 0, leave the file
//    byte for byte as it was;
//  - a failed close (encodeLine refusing a line too long to encode) leaves
//    the file as it was, and the file can still be closed without encoding;
//  - a rewritten file loads again with the same ordinary sections, versions,
//    keys and damaged flags;
//  - no stream stays open and no temporary file stays in the folder.
#include "fuzz_check.h"
#include "fuzz_profile.h"
#include "platform/mutex.h"
#include "profile/limits.h"
#include "profile/linecodec.h"
#include "profile/loadsave.h"
#include "profile/operations.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

// A folder of this process's own, removed when the run ends.
struct Folder {
    fs::path path;
    Folder()
        : path(fs::temp_directory_path() / ("kvinit64-fuzz-" + std::to_string(platProcessId()))) {
        fs::create_directories(path);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

const fs::path &folder() {
    static const Folder dir;
    return dir.path;
}

std::string readAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    FUZZ_CHECK(static_cast<bool>(out));
}

size_t entries(const fs::path &dir) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const uint8_t choices = data[0];
    uint32_t openMode = choices & 3;
    if (openMode == 3) openMode = PROFILE_OPEN_UPDATE;
    const bool decode = (choices & 4) != 0;
    const bool preEncode = (choices & 8) != 0;
    const bool ownCodec = (choices & 16) != 0;
    const bool refresh = (choices & 32) != 0;
    const uint32_t parameter =
        static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
        static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    const std::string content(reinterpret_cast<const char *>(data + 5), size - 5);

    FuzzContext ctx(PROFILE_IO_STREAM, parameter, ownCodec);
    const uint32_t transform = profileContexts[ctx.index].transform;
    const uint32_t openFlags = decode ? PROFILE_OPEN_FLAG_DECODE : 0;
    uint32_t saveFlags = PROFILE_SAVE_CHECKSUMS | (refresh ? PROFILE_SAVE_REFRESH : 0) |
                         (decode ? PROFILE_SAVE_ENCODE : 0);

    const fs::path path = folder() / "profile.ini";
    const std::string stored = preEncode ? fuzzEncodeLines(content, transform) : content;
    writeAll(path, stored);
    const size_t streams = entries("/proc/self/fd");
    const std::string pathText = path.string();

    ProfileFile *file = nullptr;
    uint32_t status = profileOpenFile(ctx.index, pathText.c_str(), openMode, &file, openFlags, 0);
    FUZZ_CHECK((status == 0) == (file != nullptr));
    if (file == nullptr) {
        FUZZ_CHECK(ctx.collector()->count > 0);
        FUZZ_CHECK(readAll(path) == stored);
    } else if (openMode == PROFILE_OPEN_READ) {
        FUZZ_CHECK(profileCloseFile(&file, saveFlags, 0) == 0 && file == nullptr);
        FUZZ_CHECK(readAll(path) == stored);
    } else {
        const std::string loaded = fuzzDescribe(file, !refresh);
        const std::string before = readAll(path); // open mode 2 has emptied it
        status = profileCloseFile(&file, saveFlags, 0);
        uint32_t reloadFlags = openFlags;
        if (status != 0) {
            FUZZ_CHECK(decode && status == PROFILE_STATUS_BAD_PARAMS && file != nullptr);
            FUZZ_CHECK(readAll(path) == before);
            FUZZ_CHECK(entries(folder()) == 1);
            status = profileCloseFile(&file, saveFlags & ~PROFILE_SAVE_ENCODE, 0);
            reloadFlags = 0;
        }
        FUZZ_CHECK(status == 0 && file == nullptr);
        ProfileFile *reloaded = nullptr;
        status = profileOpenFile(ctx.index, pathText.c_str(), PROFILE_OPEN_READ, &reloaded,
                                 reloadFlags, 0);
        FUZZ_CHECK(status == 0);
        FUZZ_CHECK(fuzzDescribe(reloaded, !refresh) == loaded);
        FUZZ_CHECK(profileCloseFile(&reloaded, 0, 0) == 0);
    }
    FUZZ_CHECK(entries(folder()) == 1);
    FUZZ_CHECK(entries("/proc/self/fd") == streams);
    return 0;
}
