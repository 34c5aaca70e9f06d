// The error report: its destinations and their order, the error file it
// creates and appends to, and the machine-wide report lock.
#include "diag/sink.h"
#include "kvinit64.h"
#include "platform/fault.h"
#include "support/child.h"
#include "support/fixtures.h"
#include "support/report.h"

#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using ReportTest = SinkFixture;

enum Where { CALLER, STREAM_SINK, ERROR_FILE, BOX };

struct Route {
    const char *name;
    bool callerStream;
    bool streamSink; // standard error
    bool fileSink;
    int failingWrites; // the first n formatted writes fail
    Where expected;
};

// Standard error shows the text of the STREAM_SINK rows; that it took the
// text shows here as no other destination having it.
const Route routes[] = {
    {"caller's stream first", true, true, true, 0, CALLER},
    {"failed caller's stream, stream sink next", true, true, true, 1, STREAM_SINK},
    {"failed streams, the file next", true, true, true, 2, ERROR_FILE},
    {"every destination failed, the box", true, true, true, 3, BOX},
    {"stream sink before the file", false, true, true, 0, STREAM_SINK},
    {"the file alone", false, false, true, 0, ERROR_FILE},
    {"failed file, the box", false, false, true, 1, BOX},
    {"failed stream sink and no file, the box", false, true, false, 1, BOX},
    {"nothing configured, the box", false, false, false, 0, BOX},
    {"caller's stream alone", true, false, false, 0, CALLER},
};

TEST_F(ReportTest, TextReachesExactlyTheFirstDestinationThatTakesIt) {
    for (const Route &r : routes) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, r.fileSink ? errorFile.c_str() : nullptr),
                  QDK_STATUS_OK);
        if (r.streamSink) {
            ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_STDERR, nullptr), QDK_STATUS_OK);
        }
        std::remove(errorFile.c_str());
        std::string callerFile = dir.file("caller.txt");
        FILE *caller = r.callerStream ? std::fopen(callerFile.c_str(), "w") : nullptr;
        if (r.failingWrites > 0) platFaultArm(PLAT_FAULT_FILE_WRITE, 0, r.failingWrites);

        ASSERT_EQ(REPORT(caller, "route: %s, %d\n", r.name, 42), QDM_REPORT_DONE);
        platFaultReset();
        if (caller != nullptr) std::fclose(caller);

        std::string text = std::string("route: ") + r.name + ", 42\n";
        if (r.callerStream) {
            EXPECT_EQ(readText(callerFile), r.expected == CALLER ? text : "");
        }
        if (r.fileSink) {
            EXPECT_TRUE(fileExists(errorFile)); // opened whatever took the text
            EXPECT_EQ(readText(errorFile), r.expected == ERROR_FILE ? text : "");
        }
        ShownBox box = takeBoxes();
        EXPECT_EQ(box.count, r.expected == BOX ? 1 : 0);
        if (r.expected == BOX) {
            EXPECT_EQ(box.text, text);
            EXPECT_EQ(box.title, "Information");
            EXPECT_EQ(box.style, 0x2040u);
        }
        std::remove(callerFile.c_str());
    }
}

TEST_F(ReportTest, StreamThatCannotBeWrittenMovesTheTextOn) {
    std::string readOnly = dir.file("read-only.txt");
    ASSERT_TRUE(writeFile(readOnly, "keep"));
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    FILE *stream = std::fopen(readOnly.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(REPORT(stream, "code %d", 7), QDM_REPORT_DONE);
    std::fclose(stream);
    EXPECT_EQ(readFile(readOnly), "keep");
    EXPECT_EQ(readText(errorFile), "code 7");
}

TEST_F(ReportTest, UnopenableErrorFileAtReportTimeLeavesTheBox) {
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    std::remove(errorFile.c_str());
    platFaultArm(PLAT_FAULT_FILE_OPEN, 0, 1);
    EXPECT_EQ(REPORT(nullptr, "%s", "lost file"), QDM_REPORT_DONE);
    EXPECT_FALSE(fileExists(errorFile));
    EXPECT_EQ(takeBoxes().text, "lost file");
}

TEST_F(ReportTest, ErrorFileIsCreatedEvenWithoutText) {
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat"
    for (const char *format : {"", static_cast<const char *>(nullptr)}) {
        std::remove(errorFile.c_str());
        EXPECT_EQ(REPORT(nullptr, format), QDM_REPORT_DONE);
        EXPECT_TRUE(fileExists(errorFile));
        EXPECT_EQ(readText(errorFile), "");
    }
#pragma GCC diagnostic pop
    EXPECT_EQ(takeBoxes().count, 0);
}

TEST_F(ReportTest, ReportsAppendInOrderAsFormatted) {
    ASSERT_TRUE(writeFile(errorFile, "earlier\n"));
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    EXPECT_EQ(REPORT(nullptr, "first %s\n", "report"), QDM_REPORT_DONE);
    EXPECT_EQ(REPORT(nullptr, "second %d%%", 100), QDM_REPORT_DONE);
    EXPECT_EQ(REPORT(nullptr, "%s", "|third, %d %s stays as it is"), QDM_REPORT_DONE);
    EXPECT_EQ(readText(errorFile),
              "earlier\nfirst report\nsecond 100%|third, %d %s stays as it is");
}

TEST_F(ReportTest, BoxTextLongerThanItsBufferIsCut) {
    std::string longText(3 * QDM_MESSAGE_BOX_TEXT_SIZE, 'x');
    EXPECT_EQ(REPORT(nullptr, "%s!", longText.c_str()), QDM_REPORT_DONE);
    ShownBox box = takeBoxes();
    EXPECT_EQ(box.count, 1);
    EXPECT_EQ(box.text, std::string(QDM_MESSAGE_BOX_TEXT_SIZE - 1, 'x'));
}

KV_CHILD_ROLE(hold_report_lock) {
    // argv[0]: file to create once the lock is held; argv[1]: file whose
    // appearance tells the child to let go.
    if (argc < 2) return 1;
    QDMmutexHandle lock = nullptr;
    if (QDMlockGlobalMutex(&lock, QDM_REPORT_LOCK_NAME, 10000) != QDM_LOCK_ACQUIRED) return 2;
    writeFile(argv[0], "held");
    for (int i = 0; i < 3000 && !fileExists(argv[1]); ++i) platSleepMs(10);
    QDMcloseMutex(lock);
    return 0;
}

TEST_F(ReportTest, ReportIsDroppedWhileAnotherProcessHoldsTheLock) {
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    std::remove(errorFile.c_str());
    std::string held = dir.file("held"), release = dir.file("release");
    PlatProcess child = startChild("hold_report_lock", {held, release});
    ASSERT_NE(child, nullptr);
    for (int i = 0; i < 3000 && !fileExists(held); ++i) platSleepMs(10);
    ASSERT_TRUE(fileExists(held));

    EXPECT_EQ(QDMreportError(nullptr, "%s", "dropped"), QDM_REPORT_DROPPED);
    EXPECT_FALSE(fileExists(errorFile)); // not even opened
    EXPECT_EQ(takeBoxes().count, 0);

    writeFile(release, "go");
    EXPECT_EQ(platWaitProcess(child), 0);
    EXPECT_EQ(REPORT(nullptr, "%s", "written"), QDM_REPORT_DONE);
    EXPECT_EQ(readText(errorFile), "written");
}

TEST_F(ReportTest, LockHeldByAnotherThreadTimesOutAtOnce) {
    std::atomic<int> held{99};
    std::atomic<bool> letGo{false};
    std::thread holder([&] {
        QDMmutexHandle lock = nullptr;
        held = QDMlockGlobalMutex(&lock, QDM_REPORT_LOCK_NAME, 10000);
        while (!letGo) platSleepMs(1);
        QDMcloseMutex(lock);
    });
    while (held == 99) platSleepMs(1);
    if (held != QDM_LOCK_ACQUIRED) {
        letGo = true;
        holder.join();
        FAIL() << "the holder did not get the report lock: " << held;
    }

    QDMmutexHandle second = reinterpret_cast<QDMmutexHandle>(1);
    EXPECT_EQ(QDMlockGlobalMutex(&second, QDM_REPORT_LOCK_NAME, 0), QDM_LOCK_TIMEOUT);
    EXPECT_EQ(second, nullptr);
    std::string callerFile = dir.file("caller.txt");
    FILE *caller = std::fopen(callerFile.c_str(), "w");
    EXPECT_EQ(QDMreportError(caller, "%s", "dropped"), QDM_REPORT_DROPPED);
    std::fclose(caller);
    EXPECT_EQ(readText(callerFile), "");

    letGo = true;
    holder.join();
}

TEST_F(ReportTest, GlobalMutexArgumentsAndFailures) {
    QDMmutexHandle lock = nullptr;
    const char *name = "kvinit64-test-failures";
    EXPECT_EQ(QDMlockGlobalMutex(&lock, nullptr, 0), QDM_LOCK_BAD_ARGUMENT);
    EXPECT_EQ(QDMlockGlobalMutex(nullptr, name, 0), QDM_LOCK_BAD_ARGUMENT);
    platFaultArm(PLAT_FAULT_SECURITY, 0, 1);
    EXPECT_EQ(QDMlockGlobalMutex(&lock, name, 0), QDM_LOCK_CANNOT_CREATE);
    platFaultArm(PLAT_FAULT_MUTEX_CREATE, 0, 1);
    EXPECT_EQ(QDMlockGlobalMutex(&lock, name, 0), QDM_LOCK_CANNOT_CREATE);
    platFaultArm(PLAT_FAULT_MUTEX_WAIT, 0, 1);
    EXPECT_EQ(QDMlockGlobalMutex(&lock, name, 0), QDM_LOCK_WAIT_FAILED);
    EXPECT_EQ(lock, nullptr);

    // A report whose lock cannot be made is dropped like a held one.
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()), QDK_STATUS_OK);
    std::remove(errorFile.c_str());
    for (PlatFault fault : {PLAT_FAULT_SECURITY, PLAT_FAULT_MUTEX_CREATE, PLAT_FAULT_MUTEX_WAIT}) {
        platFaultArm(fault, 0, 1);
        EXPECT_EQ(QDMreportError(nullptr, "%s", "dropped"), QDM_REPORT_DROPPED) << fault;
    }
    EXPECT_FALSE(fileExists(errorFile));
    EXPECT_EQ(takeBoxes().count, 0);
}

// A thread that ends holding the report lock abandons it; the next report
// takes it again instead of being dropped until the process ends.
TEST_F(ReportTest, AbandonedGlobalMutexIsTakenAgain) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not model the hand-over of a robust mutex whose
    // owner died, and reports the new owner's unlock as a misuse.
    GTEST_SKIP() << "owner-died hand-over is not modelled by ThreadSanitizer";
#endif
    const std::string name = "kvinit64-test-abandoned-" + std::to_string(platProcessId());
    QDMmutexHandle abandoned = nullptr;
    std::thread([&] {
        ASSERT_EQ(QDMlockGlobalMutex(&abandoned, name.c_str(), 0), QDM_LOCK_ACQUIRED);
    }).join(); // ends holding it
    ASSERT_NE(abandoned, nullptr);
    QDMmutexHandle lock = nullptr;
    EXPECT_EQ(QDMlockGlobalMutex(&lock, name.c_str(), 0), QDM_LOCK_ACQUIRED);
    QDMcloseMutex(lock);
    platCloseMutex(abandoned);
}

// A report reads the sink once, at its start; a change made meanwhile
// applies from the next report on.  Every report that is not dropped lands
// whole in one of the two files, never in a box or a half-changed path.
TEST_F(ReportTest, SinkChangesWhileReporting) {
    std::string fileA = dir.file("a.log"), fileB = dir.file("b.log");
    ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, fileA.c_str()), QDK_STATUS_OK);
    constexpr int ROUNDS = 200;
    std::atomic<bool> failed{false};
    std::thread switcher([&] {
        for (int i = 0; i < ROUNDS; ++i)
            if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, (i % 2 ? fileA : fileB).c_str()) !=
                QDK_STATUS_OK)
                failed = true;
    });
    int written = 0;
    for (int i = 0; i < ROUNDS; ++i)
        if (QDMreportError(nullptr, "%s\n", "line") == QDM_REPORT_DONE) ++written;
    switcher.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(takeBoxes().count, 0);
    std::string all = readText(fileA) + readText(fileB);
    std::string expected;
    for (int i = 0; i < written; ++i) expected += "line\n";
    EXPECT_EQ(all, expected);
}

// --- hostile destinations and lock files, forks ------------------------------

constexpr unsigned CHILD_BOUND_MS = 10000;

KV_CHILD_ROLE(report_to_failing_streams) {
    // argv[0]: the error file.  Each failing stream passes the text on to
    // the error file; with the error file failing as well, it reaches the box.
    if (argc < 1) return 1;
    std::string errorFile = argv[0];
    if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, errorFile.c_str()) != QDK_STATUS_OK) return 2;
    FILE *broken = platBrokenPipeStream(); // no reader: SIGPIPE would end us
    if (broken == nullptr) return 3;
    if (REPORT(broken, "%s", "past the pipe") != QDM_REPORT_DONE) return 4;
    std::fclose(broken);
    if (readText(errorFile) != "past the pipe") return 5;
#if !defined(_WIN32)
    // A full device takes the buffered write and fails only at the flush.
    std::remove(errorFile.c_str());
    FILE *full = std::fopen("/dev/full", "w");
    if (full == nullptr) return 6;
    if (REPORT(full, "%s", "past the full device") != QDM_REPORT_DONE) return 7;
    std::fclose(full);
    if (readText(errorFile) != "past the full device") return 8;
    if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, "/dev/full") != QDK_STATUS_OK) return 9;
    if (REPORT(nullptr, "%s", "to the box") != QDM_REPORT_DONE) return 10;
    ShownBox box = takeBoxes();
    if (box.count != 1 || box.text != "to the box") return 11;
#endif
    return takeBoxes().count == 0 ? 0 : 12;
}

TEST_F(ReportTest, FailingStreamsPassTheTextOn) {
    PlatProcess child = startChild("report_to_failing_streams", {errorFile});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(platWaitProcessFor(child, CHILD_BOUND_MS), 0);
}

KV_CHILD_ROLE(fifo_at_lock_path) {
    // argv[0]: a lock name whose file is a FIFO.  Opening a FIFO for
    // reading waits for a writer: the lock must be refused at once instead.
    if (argc < 1) return 1;
    QDMmutexHandle lock = reinterpret_cast<QDMmutexHandle>(1);
    if (QDMlockGlobalMutex(&lock, argv[0], 0) != QDM_LOCK_CANNOT_CREATE) return 2;
    return 0;
}

TEST_F(ReportTest, FifoAtTheLockPathIsRefusedAtOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows named mutexes are kernel objects, not files";
#endif
    std::string name = "kvinit64-test-fifo-" + std::to_string(platProcessId());
    char path[512];
    ASSERT_EQ(platGlobalLockPath(name.c_str(), path, sizeof path), 0);
    std::remove(path);
    ASSERT_EQ(platMakeFifo(path), 0);
    PlatProcess child = startChild("fifo_at_lock_path", {name});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(platWaitProcessFor(child, CHILD_BOUND_MS), 0);
    std::remove(path);
}

// Lingers until the release file appears or its folder is gone (the test
// ended), at most ten seconds: it shares the test's output, which the test
// runner reads to its end.
int lingerUntilReleased(void *releaseFile) {
    std::string release = static_cast<const char *>(releaseFile);
    std::string folder = release.substr(0, release.find_last_of("/\\"));
    for (int i = 0; i < 1000 && !fileExists(release) && fileExists(folder); ++i) platSleepMs(10);
    return 0;
}

KV_CHILD_ROLE(hold_lock_and_fork) {
    // argv[0]: lock name; argv[1]: file that ends the forked grandchild;
    // argv[2]: "nested" to hold the lock two waits deep, the first one given
    // back and its handle closed.  Takes the lock, forks a grandchild that
    // lingers, and ends still holding the lock.
    if (argc < 3) return 1;
    QDMmutexHandle lock = nullptr;
    if (QDMlockGlobalMutex(&lock, argv[0], 0) != QDM_LOCK_ACQUIRED) return 2;
    if (std::string(argv[2]) == "nested") {
        QDMmutexHandle inner = nullptr;
        if (QDMlockGlobalMutex(&inner, argv[0], 0) != QDM_LOCK_ACQUIRED) return 4;
        QDMcloseMutex(lock);
    }
    if (platFork(lingerUntilReleased, argv[1]) == nullptr) return 3;
    std::_Exit(0);
}

// The lock of a process that ended holding it is free again even though a
// child it forked meanwhile still runs: the child holds no copy of it, not
// even of a handle closed while the lock was held through it.
TEST_F(ReportTest, ForkedChildDoesNotKeepTheLockHeld) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no fork";
#endif
    for (const char *how : {"plain", "nested"}) {
        SCOPED_TRACE(how);
        std::string name =
            "kvinit64-test-forkheld-" + std::string(how) + "-" + std::to_string(platProcessId());
        std::string release = dir.file(std::string("release-") + how);
        PlatProcess child = startChild("hold_lock_and_fork", {name, release, how});
        ASSERT_NE(child, nullptr);
        ASSERT_EQ(platWaitProcessFor(child, CHILD_BOUND_MS), 0);
        // The grandchild drops its copy a moment after the fork, maybe after
        // its parent ended; it lingers far longer than this wait.
        QDMmutexHandle lock = nullptr;
        EXPECT_EQ(QDMlockGlobalMutex(&lock, name.c_str(), 2000), QDM_LOCK_ACQUIRED);
        if (lock != nullptr) QDMcloseMutex(lock);
        writeFile(release, "go");
    }
}

} // namespace
