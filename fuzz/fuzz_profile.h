// What the loader targets share: in-memory line functions for I/O mode 1, a
// library context that closes itself, and a description of a loaded file
// (its ordinary sections, versions, damaged flags and keys, in order).
#pragma once

#include "fuzz_check.h"
#include "profile/context.h"
#include "profile/cursor_list.h"
#include "profile/limits.h"
#include "profile/linecodec.h"
#include "profile/records.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// The data of one file in I/O mode 1: lines are read from `input` (NUL
// bytes included, as a stream reader would hand them over) and written to
// `output`.
struct FuzzMemoryFile {
    std::string input;
    size_t pos = 0;
    std::string output;
    uint64_t user() { return reinterpret_cast<uint64_t>(this); }
};

inline uint32_t fuzzReadLine(char *buffer, uint32_t capacity, FILE *stream, uint64_t user) {
    FUZZ_CHECK(stream == nullptr && buffer != nullptr && capacity == PROFILE_LINE_SIZE);
    auto *m = reinterpret_cast<FuzzMemoryFile *>(user);
    size_t n = 0;
    while (m->pos < m->input.size() && n + 1 < capacity) {
        char c = m->input[m->pos++];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return n == 0 ? 15 : 0;
}

inline uint32_t fuzzWriteLine(const char *line, FILE *stream, uint64_t user) {
    FUZZ_CHECK(stream == nullptr && line != nullptr);
    // Every written line is one line: it ends in its only line feed.
    size_t n = std::strlen(line);
    FUZZ_CHECK(n > 0 && line[n - 1] == '\n' && std::strchr(line, '\n') == line + n - 1);
    reinterpret_cast<FuzzMemoryFile *>(user)->output += line;
    return 0;
}

// A library context for one run, closed at the end of the run.
struct FuzzContext {
    int32_t index = -1;
    FuzzContext(uint32_t ioMode, uint32_t transform, bool ownCodec) {
        // With its own decodeLine a context takes the caller's parameter.
        ProfileEncodeLineFn encode = ownCodec ? defaultEncodeLine : nullptr;
        ProfileDecodeLineFn decode = ownCodec ? defaultDecodeLine : nullptr;
        uint32_t status =
            profileOpenLib(&index, transform, ioMode, encode, decode, fuzzReadLine, fuzzWriteLine);
        FUZZ_CHECK(status == 0 && index >= 0);
    }
    ~FuzzContext() {
        auto i = static_cast<uint32_t>(index);
        profileCloseLib(&i);
    }
    FuzzContext(const FuzzContext &) = delete;
    FuzzContext &operator=(const FuzzContext &) = delete;
    ErrCollector *collector() const { return profileContextCollector(index); }
};

// "name" "version" [damaged] {key=value ...} for each ordinary section, with
// every byte shown, so that two descriptions are equal exactly when the
// sections, versions, damaged flags and keys are.
inline std::string fuzzDescribe(const ProfileFile *file, bool withDamage = true) {
    std::string out;
    for (CursorNode *n = file->sections->head; n != nullptr; n = n->next) {
        auto *s = static_cast<const ProfileSection *>(cursorNodeElement(file->sections, n));
        if (std::strcmp(profileSectionName(s), PROFILE_RESERVED_SECTION) == 0) continue;
        out += '"' + std::string(profileSectionName(s)) + "\" \"" + profileSectionVersion(s) + '"';
        if (withDamage && profileSectionDetail(s)->damaged != 0) out += " damaged";
        out += " {";
        const CursorList *keys = profileSectionKeys(s);
        for (CursorNode *k = keys->head; k != nullptr; k = k->next) {
            auto *key = static_cast<const ProfileKey *>(cursorNodeElement(keys, k));
            out += std::string(profileKeyName(key)) + '=' + profileKeyValue(key) + '\x01';
        }
        out += "}\n";
    }
    return out;
}

// Each line of text (a last line without line feed gets one, and a line
// ends at a NUL byte as the reader's would) in its stored form; lines that
// cannot be encoded are left out.
inline std::string fuzzEncodeLines(const std::string &text, uint32_t transform) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        line = line.c_str(); // the reader stops at a NUL byte as well
        line += '\n';
        char stored[PROFILE_ENCODE_SIZE];
        if (defaultEncodeLine(line.c_str(), stored, sizeof stored, transform, 0) == 0)
            out += stored;
    }
    return out;
}
