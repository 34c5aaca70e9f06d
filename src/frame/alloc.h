// The allocation wrapper and the memory-failure flag.
//
// Every allocation of the library's components goes through QDMalloc, so an
// allocation failure anywhere inside an exported call shows in that call's
// status: QDMalloc raises qdmMemFailure, and the call frame turns a raised
// flag into QDK_STATUS_NO_MEMORY.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// 0 or 1; raised by QDMalloc on failure, cleared by the frame of classes 1, 8
// and 9 when it takes and when it gives back the lock.  One word for the
// whole process, atomic so that threads may raise and read it at once.
extern std::atomic<int32_t> qdmMemFailure;

// Allocates size bytes from the standard heap; on failure returns null and
// raises qdmMemFailure.  Give the memory back with free().
void *QDMalloc(uint32_t size);

// As QDMalloc, for whole pages from the system (platform/pages.h): `size`
// a multiple of PLAT_PAGES_UNIT, the first `populate` bytes brought in at
// once and the first `huge` advised to huge pages.  The same failure flag and, in the testable
// build, the same countdown.  Give them back with QDMfreePages and the same size.
void *QDMallocPages(size_t size, size_t populate, size_t huge);
void QDMfreePages(void *pages, size_t size);

#ifdef KVINIT64_TESTABLE
// Allocation-failure injection, in the testable build only (the shipped
// libraries have no countdown).
// Makes the n-th QDMalloc from now fail (n = 1: the next one); with
// `persist` every allocation after it fails too.  n <= 0 disarms.
void qdmAllocFailAt(int n, bool persist = false);
// Disarms the injection.
void qdmAllocFailReset();
// True once an armed failure has been delivered since the last arming.
bool qdmAllocFailFired();
#endif
