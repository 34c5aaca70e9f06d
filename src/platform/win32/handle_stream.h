// A C stream over a Windows file handle, for the platform files that open
// files with CreateFileW and hand them on as streams.
#pragma once

#include <cstdio>
#include <windows.h>

// A binary stream over h that owns it: read-only (writable false) or
// read-write.  Null on failure, and h is closed then.
FILE *platStreamOverHandle(HANDLE h, bool writable);
