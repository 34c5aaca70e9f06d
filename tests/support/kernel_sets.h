// A test of the line encoding or the checksum run once per kernel set
// (scalar, sse2, ssse3, avx2, avx512): each set the machine and the build can run
// is forced in turn and named in the output; the others are skipped, saying
// why.
#pragma once

#include "profile/kernels/dispatch.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

class KernelSetTest : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        if (kernelForce(GetParam()) != 0)
            GTEST_SKIP() << "kernel set " << GetParam() << " does not run on this machine or build";
        std::printf("[  kernel  ] %s ran\n", GetParam());
    }
    void TearDown() override { kernelForce(nullptr); }
};

inline std::string kernelParamName(const ::testing::TestParamInfo<const char *> &info) {
    return info.param;
}
