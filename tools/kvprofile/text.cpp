#include "text.h"

#include <cstdint>
#include <cstdio>

namespace {
// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t validSequence(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    if (lead < 0x80) return 1;
    size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0; // a continuation byte, an overlong lead (C0, C1) or F5..FF
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF) return 0;
    return length;
}

bool isValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = validSequence(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}
} // namespace

std::string toUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0u | (b >> 6));
            out += static_cast<char>(0x80u | (b & 0x3Fu));
        }
    }
    return out;
}

std::string escapeForTable(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        auto b = static_cast<uint8_t>(c);
        if (b == '\t') {
            out += "\\t";
        } else if (b < 0x20 || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

size_t displayWidth(std::string_view utf8) {
    size_t width = 0;
    for (char c : utf8)
        if ((static_cast<uint8_t>(c) & 0xC0u) != 0x80u) ++width;
    return width;
}
