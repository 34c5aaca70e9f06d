// Words for a POSIX shell: dump's lines can be pasted into a command line
// and read back as the same bytes, and no text drives the terminal.
#pragma once

#include <string>
#include <string_view>

// Appends the 8-bit text as one shell word: as it is when it holds only
// letters, digits and _ . / : , + - @ %; in single quotes when it prints as
// it is (forPeople leaves it unchanged); else as $'...' with every control
// character, byte above 0x7E, backslash and quote escaped (bash, ksh, zsh,
// and POSIX shells from 2024).
void appendShellWord(std::string &out, std::string_view bytes);
