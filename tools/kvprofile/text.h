// Texts of profile files are 8-bit; output is UTF-8.  These turn the one
// into the other and keep the people's table on one line per row.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text as UTF-8: unchanged when it already is valid UTF-8 (shortest
// forms, no surrogates, nothing above U+10FFFF), otherwise every byte of
// 0x80 and above becomes the character U+0080 to U+00FF of the same number.
std::string toUtf8(std::string_view bytes);

// A UTF-8 text for the table: control characters (below 0x20, and 0x7F)
// become "\t" or "\xNN", so that no file content moves the cursor or
// drives the terminal.
std::string escapeForTable(std::string_view utf8);

// The number of characters (code points) of a UTF-8 text.
size_t displayWidth(std::string_view utf8);
