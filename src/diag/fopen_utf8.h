// Opening a file named by 8-bit UTF-8 text, the way every file of the
// library is opened (the error file, profile files).
#pragma once

#include <cstdio>

// Opens path with the standard open mode (at most 4 characters, such as "a"
// or "r+b").  Returns the stream, which the caller closes with fclose(), or
// null: a null path or mode, a longer mode (nothing is opened then), a path
// that cannot be converted, or a failed open.  The conversion buffer comes
// from the heap directly, so a failure here never raises qdmMemFailure.  On
// Windows other openers may read and write the file while it is open.
FILE *QDMfopenUtf8(const char *path, const char *mode);

// Opens the error file at the UTF-8 path for appending, as mode "a" does,
// without ever waiting: a path that could only be opened or written by
// waiting (a FIFO with no reader, say) gives null, as does any failed open.
// The report and QDKsetUserErrorFile open the error file through this only.
FILE *QDMopenErrorFile(const char *path);
