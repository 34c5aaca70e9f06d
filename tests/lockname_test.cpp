// The name of an API lock: the base name, the process id in decimal and
// ".lck", cut at 260 characters.  Locks whose names come out equal are one
// mutex, so a second thread of the process cannot take the other.
#include "frame/lock.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

// What another thread gets from QDMlockNamedMutex while this one holds
// `held` (taken with `heldBase`); the other thread gives back what it took.
int32_t otherThreadTakes(int32_t held, const char *heldBase, int32_t lockClass, const char *base) {
    EXPECT_EQ(QDMlockNamedMutex(held, heldBase, 0), QDM_LOCK_ACQUIRED);
    int32_t result = 99;
    std::thread([&] {
        result = QDMlockNamedMutex(lockClass, base, 0);
        if (result == QDM_LOCK_ACQUIRED) QDMunlockNamedMutex(lockClass);
    }).join();
    QDMunlockNamedMutex(held);
    return result;
}

TEST(LockName, EqualNamesAreOneMutex) {
    // Class 6 with class 1's base name reaches class 1's mutex.
    EXPECT_EQ(otherThreadTakes(1, nullptr, 6, "ZOLTlmprcgeneric"), QDM_LOCK_TIMEOUT);
    EXPECT_EQ(otherThreadTakes(1, nullptr, 6, "ZOLTlmprcgeneri"), QDM_LOCK_ACQUIRED);
    EXPECT_EQ(otherThreadTakes(1, nullptr, 6, "ZOLTlmprcgeneric1"), QDM_LOCK_ACQUIRED);

    // A name is cut at 260 characters: base names that agree that far are
    // one mutex, whatever follows; one character short, the id's first
    // digit makes the difference.
    std::string long260(260, 'n');
    std::string long300 = long260 + std::string(40, 'x');
    EXPECT_EQ(otherThreadTakes(6, long300.c_str(), 7, long260.c_str()), QDM_LOCK_TIMEOUT);
    std::string long259(259, 'n');
    EXPECT_EQ(otherThreadTakes(6, long259.c_str(), 7, long260.c_str()), QDM_LOCK_ACQUIRED);
}

// In a forked child: class 1, taken here, and class 6 with class 1's base
// name, tried from another thread, must be one mutex, named with the child's
// own process id.
int classOneNamedForTheChild(void *) {
    if (QDMlockNamedMutex(1, nullptr, 0) != QDM_LOCK_ACQUIRED) return 1;
    int32_t result = 99;
    std::thread([&] {
        result = QDMlockNamedMutex(6, "ZOLTlmprcgeneric", 0);
        if (result == QDM_LOCK_ACQUIRED) QDMunlockNamedMutex(6);
    }).join();
    QDMunlockNamedMutex(1);
    return result == QDM_LOCK_TIMEOUT ? 0 : 2;
}

TEST(LockName, AForkedChildNamesItsLocksWithItsOwnId) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no fork";
#elif defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not start threads in a forked child";
#endif
    // The parent's class-1 mutex, once resolved, is what its calls use.
    ASSERT_EQ(QDMlockNamedMutex(1, nullptr, 0), QDM_LOCK_ACQUIRED);
    QDMunlockNamedMutex(1);
    PlatProcess child = platFork(classOneNamedForTheChild, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(platWaitProcessFor(child, 10000), 0);
}

} // namespace
