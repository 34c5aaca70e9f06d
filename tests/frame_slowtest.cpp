// The real 15-second time-out of the API lock.
#include "frame/frame.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

TEST(FrameSlow, CallGivesUpAfterFifteenSecondsWithoutTouchingTheRecord) {
    std::thread holder;
    std::atomic<bool> holding{false}, done{false};
    holder = std::thread([&] {
        ASSERT_EQ(QDMacquireApiLock(1), QDK_STATUS_OK);
        holding = true;
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        QDMreleaseApiLock(1);
    });
    while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    QDKlibInfoRec info;
    std::memset(&info, 0xAB, sizeof info);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QDKgetLibInfo(&info), QDK_STATUS_LOCK_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(14900));
    EXPECT_EQ(info.reserved1, static_cast<int32_t>(0xABABABAB));
    done = true;
    holder.join();
    EXPECT_EQ(QDKgetLibInfo(&info), QDK_STATUS_OK);
}
