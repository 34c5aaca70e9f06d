#include "profile/linescan.h"

#include "profile/kernels/dispatch.h"
#include "profile/kernels/linescan_kernels.h"

bool profileScanPlainLine(const char *bytes, size_t size, size_t *lineLength,
                          ProfileLineScan *scan) {
#if defined(KV_KERNEL_AVX512)
    if (kernelSet() >= KERNEL_AVX512)
        return lineScanAvx512(reinterpret_cast<const unsigned char *>(bytes), size, lineLength,
                              scan);
#endif
#if defined(KV_KERNEL_AVX2)
    if (kernelSet() >= KERNEL_AVX2)
        return lineScanAvx2(reinterpret_cast<const unsigned char *>(bytes), size, lineLength, scan);
#endif
    (void)bytes, (void)size, (void)lineLength, (void)scan;
    return false;
}
