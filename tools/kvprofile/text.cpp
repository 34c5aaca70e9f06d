#include "text.h"

#include <charconv>
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

bool isControlCharacter(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x61C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

namespace {
// Calls fn(codePoint, bytes) for each character of a valid UTF-8 text.
template <class Fn> void forEachCharacter(std::string_view utf8, Fn &&fn) {
    for (size_t i = 0; i < utf8.size();) {
        size_t n = validSequence(utf8, i);
        if (n == 0) n = 1; // not reached for valid UTF-8; a byte stands for itself
        auto lead = static_cast<uint8_t>(utf8[i]);
        uint32_t code = n == 1 ? lead : lead & (0x7Fu >> n);
        for (size_t k = 1; k < n; ++k)
            code = (code << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3Fu);
        fn(code, utf8.substr(i, n));
        i += n;
    }
}

std::string unicodeEscape(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(code));
    return text;
}

// True when every byte is printable ASCII (0x20 to 0x7E): such a text is
// printed for people as it is, one column a byte.  Nearly every text of a
// profile file is so; the check spares them the UTF-8 pass (speed).
bool isPrintableAscii(std::string_view bytes) {
    for (char c : bytes)
        if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) > 0x7E) return false;
    return true;
}
} // namespace

void appendForPeople(std::string &out, std::string_view bytes) {
    if (isPrintableAscii(bytes)) {
        out.append(bytes);
        return;
    }
    forEachCharacter(toUtf8(bytes), [&out](uint32_t code, std::string_view character) {
        if (!isControlCharacter(code)) {
            out += character;
        } else if (code == '\t') {
            out += "\\t";
        } else if (code < 0x80) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(code));
            out += hex;
        } else {
            out += unicodeEscape(code);
        }
    });
}

std::string forPeople(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    appendForPeople(out, bytes);
    return out;
}

std::string_view viewForPeople(std::string_view bytes, std::string &scratch) {
    if (isPrintableAscii(bytes)) return bytes;
    scratch.clear();
    appendForPeople(scratch, bytes);
    return scratch;
}

std::string escapeJsonControls(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    // The dump's own line feeds and indentation are C0 characters that it
    // put there; it has already escaped every C0 control inside a text.
    forEachCharacter(json, [&out](uint32_t code, std::string_view character) {
        if (code >= 0x7F && isControlCharacter(code))
            out += unicodeEscape(code);
        else
            out += character;
    });
    return out;
}

size_t appendDecimal(std::string &out, uint32_t value) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
    return static_cast<size_t>(result.ptr - digits);
}

size_t decimalWidth(uint32_t value) {
    size_t width = 1;
    for (; value >= 10; value /= 10) ++width;
    return width;
}

size_t displayWidth(std::string_view utf8) {
    size_t width = 0;
    for (char c : utf8)
        if ((static_cast<uint8_t>(c) & 0xC0u) != 0x80u) ++width;
    return width;
}

void appendJsonText(std::string &out, std::string_view bytes) {
    out += '"';
    bool plain = isPrintableAscii(bytes) && bytes.find_first_of("\"\\") == std::string_view::npos;
    if (plain) {
        out.append(bytes);
    } else {
        forEachCharacter(toUtf8(bytes), [&out](uint32_t code, std::string_view character) {
            switch (code) {
            case '"':
                out += "\\\"";
                return;
            case '\\':
                out += "\\\\";
                return;
            case '\b':
                out += "\\b";
                return;
            case '\t':
                out += "\\t";
                return;
            case '\n':
                out += "\\n";
                return;
            case '\f':
                out += "\\f";
                return;
            case '\r':
                out += "\\r";
                return;
            default:
                break;
            }
            if (code < 0x20) {
                // The JSON library's form: lowercase hexadecimal digits.
                char hex[16];
                std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(code));
                out += hex;
            } else if (code >= 0x7F && isControlCharacter(code)) {
                out += unicodeEscape(code); // as escapeJsonControls writes it
            } else {
                out += character;
            }
        });
    }
    out += '"';
}
