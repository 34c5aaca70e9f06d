// Texts of profile files are 8-bit; output is UTF-8.  These turn the one
// into the other and keep what is printed from driving the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The text as UTF-8: unchanged when it already is valid UTF-8 (shortest
// forms, no surrogates, nothing above U+10FFFF), otherwise every byte of
// 0x80 and above becomes the character U+0080 to U+00FF of the same number.
std::string toUtf8(std::string_view bytes);

// True for the characters no printed text carries as they are: the C0 and
// C1 controls, DEL, and the bidirectional controls (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069).  Each moves the cursor, drives the
// terminal or reorders what a person sees.
bool isControlCharacter(uint32_t codePoint);

// Every text printed for people goes through this one function: the text
// as UTF-8 (toUtf8) with each control character shown as an escape, "\t"
// for a tab, "\xNN" for the others below U+0080, "\uXXXX" above.  A
// backslash of the text stays as it is.
std::string forPeople(std::string_view bytes);
// forPeople(bytes) appended to out, without a text of its own: show and
// verify write a line per section (speed).
void appendForPeople(std::string &out, std::string_view bytes);
// forPeople(bytes) as a view: bytes itself when they need no change, as
// nearly every text of a file does, else the text made in scratch (speed:
// no copy a text).
std::string_view viewForPeople(std::string_view bytes, std::string &scratch);

// A JSON text as dumped (valid UTF-8, C0 controls already escaped): each
// other control character written as the escape \uXXXX, so that JSON shows
// the same characters as escapes as the text for people.
std::string escapeJsonControls(std::string_view json);

// The 8-bit text as a JSON string appended to out, quotes included: the
// bytes that the JSON library's dump gives for toUtf8(bytes) (the two-letter
// escapes \b \t \n \f \r \" \\, "\u00xx" for the other C0 controls),
// then escapeJsonControls.  show and verify write their JSON with it one
// section at a time instead of holding the whole object (memory, speed).
void appendJsonText(std::string &out, std::string_view bytes);

// The number in decimal appended to out; returns the count of digits.
size_t appendDecimal(std::string &out, uint32_t value);
// The count of decimal digits of the number.
size_t decimalWidth(uint32_t value);

// The number of characters (code points) of a UTF-8 text.
size_t displayWidth(std::string_view utf8);
