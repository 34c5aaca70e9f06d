// A small INI reader in the manner of a callback parser, the whole-process
// baseline of the Windows comparison (where no inih build is at hand): one
// pass over the file, each line read with fgets into a fixed buffer, trimmed,
// and handed on as a section change or a key and value; nothing is kept.
// It is measured on Linux beside the real inih program, so that the two can
// be compared in the same run.
#pragma once

// Called for each "key = value" (or "key: value") line with the current
// section ("" before the first header), the trimmed key and the trimmed
// value.  Returning 0 marks the line as an error; reading goes on.
using CallbackEntry = int (*)(void *user, const char *section, const char *key, const char *value);

// The line buffer: a line of up to CALLBACK_MAX_LINE - 1 bytes before its
// end of line is read whole; the rest of a longer line is skipped and the
// line counts as an error.
constexpr int CALLBACK_MAX_LINE = 4566;
constexpr int CALLBACK_MAX_SECTION = 256;

// Reads path line by line.  Blank lines and lines starting with ';' or '#'
// are skipped; "[name]" sets the section; any other line without '=' or ':',
// a header without ']', a line too long and a line the callback refuses are
// errors.  Returns 0, the number of the first line in error, or -1 when the
// file cannot be opened.
int callbackRead(const char *path, CallbackEntry entry, void *user);
