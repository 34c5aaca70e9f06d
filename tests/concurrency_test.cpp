// Many threads and many processes at once: every export called from several
// threads in a loop, and several processes reporting to one error file.
#include "diag/sink.h"
#include "kvinit64.h"
#include "support/child.h"
#include "support/dynlib.h"
#include "support/fixtures.h"
#include "support/report.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using GetLibInfoFn = uint32_t (*)(QDKlibInfoRec *);
using SetUserErrorFileFn = uint32_t (*)(int32_t, const char *);

#if defined(_WIN32)
constexpr char PLATFORM[] = "Win64";
#else
constexpr char PLATFORM[] = "Linux64";
#endif

bool recordIsFilled(const QDKlibInfoRec &info) {
    return info.reserved1 == 0 && std::strcmp(info.version, "9.5.0.0221") == 0 &&
           std::strcmp(info.protocol, "TCP/IP") == 0 && std::strcmp(info.platform, PLATFORM) == 0 &&
           std::strcmp(info.locale, "english_united-states") == 0;
}

// Threads calling every export of the built shared library in a loop: each
// call holds the API lock for a moment only, so none may wait 15 s and give
// 133, and every call does its whole work (ThreadSanitizer, in the
// linux-tsan build, watches the library's state meanwhile).
TEST(Concurrency, ThreadsCallEveryExportAtOnce) {
    PlatLibrary library = platLoadLibrary(sharedLibraryPath().c_str());
    ASSERT_NE(library, nullptr) << sharedLibraryPath();
    auto getLibInfo = reinterpret_cast<GetLibInfoFn>(platFindSymbol(library, "QDKgetLibInfo"));
    auto getLibInfoOld =
        reinterpret_cast<GetLibInfoFn>(platFindSymbol(library, "RE1DBDADF2C91EAD6b"));
    auto setErrorFile =
        reinterpret_cast<SetUserErrorFileFn>(platFindSymbol(library, "QDKsetUserErrorFile"));
    ASSERT_TRUE(getLibInfo != nullptr && getLibInfoOld != nullptr && setErrorFile != nullptr);

    ScratchDir dir;
    constexpr int THREADS = 6;
#if defined(_WIN32)
    constexpr int ROUNDS = 250; // each round opens a file, which is slow under Wine
#else
    constexpr int ROUNDS = 1000;
#endif
    std::atomic<int> wrong{0}, calls{0};
    auto expect = [&](uint32_t status, uint32_t wanted) {
        calls.fetch_add(1, std::memory_order_relaxed);
        if (status != wanted) wrong.fetch_add(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::string file = dir.file("errors" + std::to_string(t) + ".log");
            for (int i = 0; i < ROUNDS; ++i) {
                QDKlibInfoRec info;
                std::memset(&info, 0xFF, sizeof info);
                expect(getLibInfo(&info), QDK_STATUS_OK);
                if (!recordIsFilled(info)) wrong.fetch_add(1);
                expect(getLibInfoOld(&info), QDK_STATUS_OK);
                expect(getLibInfo(nullptr), QDK_STATUS_BAD_ARGUMENT);
                expect(setErrorFile(QDK_ERROR_TO_FILE, file.c_str()), QDK_STATUS_OK);
                expect(setErrorFile(QDK_ERROR_TO_STDERR, nullptr), QDK_STATUS_OK);
                expect(setErrorFile(QDK_ERROR_TO_FILE, nullptr), QDK_STATUS_OK);
                expect(setErrorFile(QDK_ERROR_TO_FILE, ""), QDK_STATUS_OK);
                expect(setErrorFile(-1, nullptr), QDK_STATUS_BAD_ARGUMENT);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0) << "of " << calls.load() << " calls";
    EXPECT_EQ(calls.load(), THREADS * ROUNDS * 8);
    EXPECT_EQ(setErrorFile(QDK_ERROR_TO_FILE, nullptr), QDK_STATUS_OK);
    platUnloadLibrary(library);
}

// One report of a reporting child: "<child> <sequence> " then a body long
// enough that the stream writes it in several pieces, then a line feed.
std::string reportText(int child, int sequence) {
    std::string text = std::to_string(child) + " " + std::to_string(sequence) + " ";
    for (int i = 0; i < 9000; ++i) text += static_cast<char>('a' + (child * 7 + sequence + i) % 26);
    return text;
}

KV_CHILD_ROLE(report_many) {
    // argv: error file, child number, reports to try, start signal, result file
    if (argc < 5) return 2;
    int child = std::atoi(argv[1]), tries = std::atoi(argv[2]);
    if (QDKsetUserErrorFile(QDK_ERROR_TO_FILE, argv[0]) != QDK_STATUS_OK) return 3;
    for (int i = 0; i < 3000 && !fileExists(argv[3]); ++i) platSleepMs(5);
    int written = 0;
    for (int i = 0; i < tries; ++i) {
        std::string text = reportText(child, i);
        int32_t result = QDMreportError(nullptr, "%s\n", text.c_str());
        if (result == QDM_REPORT_DONE) {
            ++written;
        } else if (result != QDM_REPORT_DROPPED) {
            return 4;
        }
    }
    return writeFile(argv[4], std::to_string(written)) ? 0 : 5;
}

// Several processes report at once to one error file: each report is in the
// file whole, or (dropped with -2 while another held the machine-wide lock)
// not at all; no two are ever interleaved.
TEST(Concurrency, ProcessesReportAtOnceToOneErrorFile) {
    ScratchDir dir;
    const std::string errors = dir.file("errors.log"), go = dir.file("go");
    constexpr int CHILDREN = 4, TRIES = 150;
    std::vector<PlatProcess> children;
    for (int c = 0; c < CHILDREN; ++c) {
        PlatProcess p = startChild("report_many", {errors, std::to_string(c), std::to_string(TRIES),
                                                   go, dir.file("count" + std::to_string(c))});
        ASSERT_NE(p, nullptr);
        children.push_back(p);
    }
    writeFile(go, "go");
    for (PlatProcess p : children) EXPECT_EQ(platWaitProcess(p), 0);

    std::map<int, int> reported; // child -> reports it saw written
    int total = 0;
    for (int c = 0; c < CHILDREN; ++c) {
        reported[c] = std::atoi(readFile(dir.file("count" + std::to_string(c))).c_str());
        total += reported[c];
    }
    EXPECT_GT(total, 0);

    std::istringstream in(readText(errors));
    std::string line;
    std::map<int, int> found;
    std::map<int, int> lastSequence;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        int child = -1, sequence = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d %d ", &child, &sequence), 2) << "line " << lines;
        ASSERT_EQ(line, reportText(child, sequence))
            << "line " << lines << " is not one whole report";
        // A child's reports appear in the order it made them.
        if (lastSequence.count(child) != 0) {
            EXPECT_GT(sequence, lastSequence[child]);
        }
        lastSequence[child] = sequence;
        ++found[child];
    }
    EXPECT_EQ(lines, total);
    for (int c = 0; c < CHILDREN; ++c) EXPECT_EQ(found[c], reported[c]) << "child " << c;
    std::printf("reports written %d of %d tried\n", total, CHILDREN * TRIES);
}

} // namespace
