#include "shellquote.h"

#include "text.h"

#include <cstdint>
#include <cstdio>

namespace {
bool isPlainCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_./:,+-@%").find(c) != std::string_view::npos;
}
} // namespace

void appendShellWord(std::string &out, std::string_view bytes) {
    bool plain = !bytes.empty();
    for (char c : bytes) plain = plain && isPlainCharacter(c);
    if (plain) {
        out += bytes;
        return;
    }
    if (forPeople(bytes) == bytes) {
        out += '\'';
        for (char c : bytes) {
            if (c == '\'')
                out += "'\\''";
            else
                out += c;
        }
        out += '\'';
        return;
    }
    out += "$'";
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || b > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(b));
            out += hex;
        } else {
            out += c;
        }
    }
    out += '\'';
}
