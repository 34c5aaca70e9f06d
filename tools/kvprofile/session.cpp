#include "session.h"

#include "profile/linecodec.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ProfileSession::~ProfileSession() {
    if (file_ != nullptr) profileDiscardFile(&file_);
    if (context_ >= 0) {
        auto index = static_cast<uint32_t>(context_);
        profileCloseLib(&index);
    }
}

void ProfileSession::fail(uint32_t status, Failure &failure) const {
    failure.status = status;
    failure.messages.clear();
    failure.detail.clear();
    failure.line = 0;
    const ErrCollector *collector = profileContextCollector(context_);
    if (collector == nullptr) return;
    for (int32_t i = 0; i < collector->count; ++i) {
        const char *text = errCollectorText(collector, i);
        if (text != nullptr) failure.messages.emplace_back(text);
    }
    const char *detail = profileContextDetail(context_);
    if (detail == nullptr) return;
    // "line 7: '#' is not allowed ...": the number goes beside the file's name.
    unsigned line = 0;
    int consumed = 0;
    if (std::sscanf(detail, "line %u: %n", &line, &consumed) == 1 && consumed > 0) {
        failure.line = line;
        detail += consumed;
    }
    failure.detail = detail;
}

namespace {
uint32_t readNothing(char *buffer, uint32_t capacity, FILE *, uint64_t) {
    if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
    return 0;
}
uint32_t writeNothing(const char *, FILE *, uint64_t) { return 0; }
// The path of the scratch file: never opened, caller line functions carry it.
constexpr char SCRATCH_PATH[] = "scratch";

bool readStandardInput(std::string &bytes) {
    char block[1 << 15];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, stdin)) > 0) bytes.append(block, got);
    return !std::ferror(stdin);
}
} // namespace

// The next line of standard input, as the library's own reader splits a
// file: up to capacity - 1 bytes, its line feed included.
uint32_t ProfileSession::readInputLine(char *buffer, uint32_t capacity, FILE *, uint64_t user) {
    auto *input = reinterpret_cast<Input *>(static_cast<uintptr_t>(user));
    buffer[0] = '\0';
    if (capacity == 0 || input->next >= input->bytes.size()) return 0;
    size_t start = input->next;
    size_t limit = std::min<size_t>(capacity - 1, input->bytes.size() - start);
    const void *feed = std::memchr(input->bytes.data() + start, '\n', limit);
    size_t take =
        feed != nullptr
            ? static_cast<size_t>(static_cast<const char *>(feed) - (input->bytes.data() + start)) +
                  1
            : limit;
    std::memcpy(buffer, input->bytes.data() + start, take);
    buffer[take] = '\0';
    input->next += take;
    return 0;
}

bool ProfileSession::open(const ToolOptions &options, uint32_t openMode, Failure &failure,
                          uint32_t openFlags) {
    // The context takes the caller's transform parameter only together with
    // a decodeLine; the library's own keeps the encoding and the default.
    ProfileDecodeLineFn decode = options.hasTransform ? defaultDecodeLine : nullptr;
    bool standardInput = options.file == KVP_STANDARD_INPUT;
    uint32_t status = standardInput
                          ? profileOpenLib(&context_, options.transform, PROFILE_IO_CALLER, nullptr,
                                           decode, readInputLine, writeNothing)
                          : profileOpenLib(&context_, options.transform, PROFILE_IO_STREAM, nullptr,
                                           decode, nullptr, nullptr);
    if (status != 0) {
        context_ = -1;
        fail(status, failure);
        return false;
    }
    uint64_t user = 0;
    if (standardInput) {
        if (!input_.read && !readStandardInput(input_.bytes)) {
            fail(PROFILE_STATUS_CANNOT_OPEN, failure);
            failure.detail = "standard input cannot be read";
            return false;
        }
        input_.read = true;
        input_.next = 0;
        // As a file, a line holding a NUL byte is refused: as text it would end there.
        size_t nul = input_.bytes.find('\0');
        if (nul != std::string::npos) {
            fail(PROFILE_STATUS_TAMPERED, failure);
            failure.line = static_cast<uint32_t>(
                std::count(input_.bytes.begin(), input_.bytes.begin() + nul, '\n') + 1);
            failure.detail = "the line holds a NUL byte";
            return false;
        }
        user = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&input_));
    }
    uint32_t flags = openFlags | (options.decode ? PROFILE_OPEN_FLAG_DECODE : 0u);
    status = profileOpenFile(context_, options.file.c_str(), openMode, &file_, flags, user);
    if (status != 0) {
        file_ = nullptr;
        fail(status, failure);
        return false;
    }
    return true;
}

bool ProfileSession::openForChange(const ToolOptions &options, Failure &failure,
                                   uint32_t openFlags) {
    // --create makes a missing file in the same step that finds it missing:
    // a file that another process makes meanwhile is opened as it is.
    if (options.create) openFlags |= PROFILE_OPEN_FLAG_CREATE;
    return open(options, PROFILE_OPEN_UPDATE, failure, openFlags);
}

size_t ProfileSession::sectionsWhenDecoded(const ToolOptions &options) const {
    ToolOptions decoded = options;
    decoded.decode = true;
    ProfileSession other;
    other.input_.read = input_.read;
    other.input_.bytes = input_.bytes;
    Failure ignored;
    if (!other.open(decoded, PROFILE_OPEN_READ, ignored)) return 0;
    if (other.file()->loadEndedAtLine != 0) return 0;
    size_t count = 0;
    other.eachSection(
        [&count](const SectionView &s) {
            if (std::strcmp(s.name, PROFILE_RESERVED_SECTION) != 0) ++count;
            return 0u;
        },
        ignored, false);
    return count;
}

bool ProfileSession::openScratch(Failure &failure) {
    uint32_t status = profileOpenLib(&context_, 0, PROFILE_IO_CALLER, nullptr, nullptr, readNothing,
                                     writeNothing);
    if (status != 0) {
        context_ = -1;
        fail(status, failure);
        return false;
    }
    status = profileOpenFile(context_, SCRATCH_PATH, PROFILE_OPEN_WRITE, &file_, 0, 0);
    if (status != 0) {
        file_ = nullptr;
        fail(status, failure);
        return false;
    }
    return true;
}

bool ProfileSession::close(uint32_t saveFlags, Failure &failure) {
    uint32_t status = profileCloseFile(&file_, saveFlags, 0);
    if (status != 0) {
        fail(status, failure);
        return false;
    }
    file_ = nullptr;
    return true;
}
