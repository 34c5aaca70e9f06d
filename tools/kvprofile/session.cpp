#include "session.h"

#include "profile/linecodec.h"

#include <cstdio>

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
    const ErrCollector *collector = profileContextCollector(context_);
    if (collector == nullptr) return;
    for (int32_t i = 0; i < collector->count; ++i) {
        const char *text = errCollectorText(collector, i);
        if (text != nullptr) failure.messages.emplace_back(text);
    }
    // The reason behind it, on a line of its own after the catalogue's texts.
    const char *detail = profileContextDetail(context_);
    if (detail != nullptr && detail[0] != '\0') failure.messages.emplace_back(detail);
}

bool ProfileSession::open(const ToolOptions &options, uint32_t openMode, Failure &failure) {
    // The context takes the caller's transform parameter only together with
    // a decodeLine; the library's own keeps the encoding and the default.
    ProfileDecodeLineFn decode = options.hasTransform ? defaultDecodeLine : nullptr;
    uint32_t status = profileOpenLib(&context_, options.transform, PROFILE_IO_STREAM, nullptr,
                                     decode, nullptr, nullptr);
    if (status != 0) {
        context_ = -1;
        fail(status, failure);
        return false;
    }
    uint32_t flags = options.decode ? PROFILE_OPEN_FLAG_DECODE : 0u;
    status = profileOpenFile(context_, options.file.c_str(), openMode, &file_, flags, 0);
    if (status != 0) {
        file_ = nullptr;
        fail(status, failure);
        return false;
    }
    return true;
}

namespace {
uint32_t readNothing(char *buffer, uint32_t capacity, FILE *, uint64_t) {
    if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
    return 0;
}
uint32_t writeNothing(const char *, FILE *, uint64_t) { return 0; }
// The path of the scratch file: never opened, caller line functions carry it.
constexpr char SCRATCH_PATH[] = "scratch";
} // namespace

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
