// The two readers of I/O mode 0 on arbitrary bytes in a real file: the block
// reader that loads use, and the line-by-line reader (the context's
// defaultReadLine, one getc per byte) that it stands in for.
//
// Input: one byte of choices, then the file's content.  Choices: bit 0 open
// for update (the loader then refuses a line that cannot be decoded); bit 1
// open with the decode flag; bit 2 encode every line of the content first.
// Checks, beside crashes, leaks and undefined behaviour, that both readers
// load the file identically: the same status, the same recorded texts, and
// the same sections with the same versions, keys, counts, checksums and
// damaged flags.  Lines over 4,565 characters, NUL bytes, a last line
// without a line feed and CR LF all come from the corpus and the mutations.
#include "diag/collector.h"
#include "diag/fopen_utf8.h"
#include "fuzz_check.h"
#include "fuzz_profile.h"
#include "platform/mutex.h"
#include "profile/loadsave.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const fs::path &scratchFile() {
    static const fs::path path =
        fs::temp_directory_path() / ("kvinit64-readers-" + std::to_string(platProcessId()));
    return path;
}

struct Outcome {
    uint32_t status = 0;
    std::string texts;
    std::string sections;
};

// Loads the file as an open of the given mode would, with one reader or the
// other, and describes what came of it.
Outcome load(const std::string &path, uint32_t openMode, uint32_t openFlags, bool lineByLine) {
    FuzzContext ctx(PROFILE_IO_STREAM, 0, false);
    ErrCollector *collector = ctx.collector();
    ProfileFile *file = nullptr;
    FUZZ_CHECK(profileNewFile(collector, &file) == 0);
    file->contextIndex = ctx.index;
    file->openMode = openMode;
    file->openFlags = openFlags;
    file->lineByLine = lineByLine ? 1 : 0;
    file->stream = QDMfopenUtf8(path.c_str(), openMode == PROFILE_OPEN_READ ? "rb" : "r+b");
    FUZZ_CHECK(file->stream != nullptr);
    // The block reader needs an unbuffered stream, as an open makes it.
    if (!lineByLine) std::setvbuf(file->stream, nullptr, _IONBF, 0);

    Outcome out;
    out.status = profileLoad(collector, file);
    for (int32_t i = 0; i < collector->count; ++i) {
        const char *text = errCollectorText(collector, i);
        out.texts += text != nullptr ? text : "(none)";
        out.texts += '\n';
    }
    out.sections = fuzzDescribe(file);
    for (CursorNode *n = file->sections->head; n != nullptr; n = n->next) {
        auto *s = static_cast<const ProfileSection *>(cursorNodeElement(file->sections, n));
        out.sections += std::to_string(profileSectionKeyCount(s)) + ' ' +
                        std::to_string(s->checksum) + ' ' +
                        std::to_string(profileSectionDetail(s)->storedChecksum) + '\n';
    }
    std::fclose(file->stream);
    file->stream = nullptr;
    FUZZ_CHECK(profileFreeFile(collector, file) == 0);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint32_t openMode = (data[0] & 1) != 0 ? PROFILE_OPEN_UPDATE : PROFILE_OPEN_READ;
    const uint32_t openFlags = (data[0] & 2) != 0 ? PROFILE_OPEN_FLAG_DECODE : 0;
    const std::string content(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string stored =
        (data[0] & 4) != 0 ? fuzzEncodeLines(content, PROFILE_DEFAULT_TRANSFORM) : content;
    {
        std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
        out << stored;
        FUZZ_CHECK(static_cast<bool>(out));
    }
    const std::string path = scratchFile().string();
    Outcome blocks = load(path, openMode, openFlags, false);
    Outcome lines = load(path, openMode, openFlags, true);
    FUZZ_CHECK(blocks.status == lines.status);
    FUZZ_CHECK(blocks.texts == lines.texts);
    FUZZ_CHECK(blocks.sections == lines.sections);
    std::error_code ec;
    fs::remove(scratchFile(), ec);
    return 0;
}
