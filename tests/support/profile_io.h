// Helpers for the tests of the profile component: a library context that
// closes itself, in-memory line functions for I/O mode 1, and a one-line
// description of a loaded file.
#pragma once

#include "diag/collector.h"
#include "profile/context.h"
#include "profile/cursor_list.h"
#include "profile/operations.h"
#include "profile/records.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// The source and sink of a file in I/O mode 1: lines are read from `input`
// and written to `output`.  A write numbered failWriteAt (from 1) fails.
struct MemoryFile {
    MemoryFile() = default;
    explicit MemoryFile(std::string in) : input(std::move(in)) {}
    std::string input;
    size_t pos = 0;
    std::string output;
    int writes = 0;
    int failWriteAt = 0;
    uint64_t user() { return reinterpret_cast<uint64_t>(this); }
};

inline uint32_t memoryReadLine(char *buffer, uint32_t capacity, FILE *, uint64_t user) {
    auto *m = reinterpret_cast<MemoryFile *>(user);
    size_t n = 0;
    while (m->pos < m->input.size() && n + 1 < capacity) {
        char c = m->input[m->pos++];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return n == 0 ? 15 : 0;
}

inline uint32_t memoryWriteLine(const char *line, FILE *, uint64_t user) {
    auto *m = reinterpret_cast<MemoryFile *>(user);
    if (++m->writes == m->failWriteAt) return 11;
    m->output += line;
    return 0;
}

// A library context for one test; closed when it goes out of scope.
struct TestContext {
    int32_t index = -1;
    explicit TestContext(uint32_t ioMode, ProfileEncodeLineFn encode = nullptr,
                         ProfileDecodeLineFn decode = nullptr, uint32_t transform = 0) {
        profileOpenLib(&index, transform, ioMode, encode, decode, memoryReadLine, memoryWriteLine);
    }
    ~TestContext() {
        auto i = static_cast<uint32_t>(index);
        profileCloseLib(&i);
    }
    TestContext(const TestContext &) = delete;
    TestContext &operator=(const TestContext &) = delete;

    ErrCollector *collector() const { return profileContextCollector(index); }
    // Every recorded text, in order, joined by line feeds.
    std::string texts() const {
        std::string all;
        ErrCollector *c = collector();
        for (int32_t i = 0; c != nullptr && i < c->count; ++i) {
            const char *t = errCollectorText(c, i);
            all += std::string(t != nullptr ? t : "(empty)") + "\n";
        }
        return all;
    }
    bool recorded(const std::string &text) const {
        return texts().find(text + "\n") != std::string::npos;
    }
};

// The composed text of a profile status recorded as an error.
inline std::string profileErrorText(int code, const char *message) {
    char header[32];
    std::snprintf(header, sizeof header, "Error   (OXB%04d): ", code);
    return header + std::string(message);
}

// Every element of a CursorList, in order (the list's cursor moves).
inline std::vector<void *> listElements(CursorList *list) {
    std::vector<void *> out;
    if (list == nullptr) return out;
    for (CursorNode *n = list->head; n != nullptr; n = n->next)
        out.push_back(cursorNodeElement(list, n));
    return out;
}

// "name/version{k=v,...}" per section, separated by blanks; "!" after the
// version marks a damaged section.  withReserved: include "S-y-S-t-E-m".
inline std::string describe(ProfileFile *file, bool withReserved = true) {
    std::string out;
    for (void *e : listElements(file->sections)) {
        auto *s = static_cast<ProfileSection *>(e);
        if (!withReserved && std::strcmp(profileSectionName(s), "S-y-S-t-E-m") == 0) continue;
        if (!out.empty()) out += ' ';
        out += std::string(profileSectionName(s)) + "/" + profileSectionVersion(s) +
               (profileSectionDetail(s)->damaged ? "!" : "") + "{";
        bool first = true;
        for (void *k : listElements(profileSectionKeys(s))) {
            auto *key = static_cast<ProfileKey *>(k);
            out += std::string(first ? "" : ",") + profileKeyName(key) + "=" + profileKeyValue(key);
            first = false;
        }
        out += "}";
    }
    return out;
}

// describe() plus each ordinary section's computed checksum and key count.
inline std::string describeWithChecksums(ProfileFile *file) {
    std::string out = describe(file, false);
    for (void *e : listElements(file->sections)) {
        auto *s = static_cast<ProfileSection *>(e);
        if (std::strcmp(profileSectionName(s), "S-y-S-t-E-m") == 0) continue;
        out += " " + std::to_string(s->checksum) + "#" + std::to_string(profileSectionKeyCount(s));
    }
    return out;
}

// Opens content as a file in I/O mode 1; *status receives the open's status.
inline ProfileFile *openMemory(const TestContext &ctx, MemoryFile &m, uint32_t *status,
                               uint32_t openMode = PROFILE_OPEN_UPDATE, uint32_t flags = 0,
                               const char *path = "mem/profile.ini") {
    ProfileFile *file = nullptr;
    *status = profileOpenFile(ctx.index, path, openMode, &file, flags, m.user());
    return file;
}
