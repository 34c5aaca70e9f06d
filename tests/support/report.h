// Test support for the error report.
//
// Every message box goes to a capture instead of the screen, in every test
// program that includes this header and in its child processes, so no test
// ever waits for a user.  reportRetrying() repeats a report that another test
// process on the machine happened to drop while it held the report lock for
// a moment (the lock is machine-wide, and test programs run side by side).
// readText() reads an error file back.
#pragma once

#include "diag/sink.h"
#include "frame/alloc.h"
#include "kvinit64.h"
#include "platform/fault.h"
#include "platform/msgbox.h"
#include "support/fixtures.h"
#include "support/process.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <mutex>
#include <string>

struct ShownBox {
    int count = 0; // boxes shown since the last takeBoxes()
    std::string text, title;
    uint32_t style = 0;
};

inline std::mutex shownBoxLock;
inline ShownBox shownBoxes;

inline void captureBox(const char *text, const char *title, uint32_t style) {
    std::lock_guard<std::mutex> guard(shownBoxLock);
    ++shownBoxes.count;
    shownBoxes.text = text;
    shownBoxes.title = title;
    shownBoxes.style = style;
}

inline const bool boxCaptureInstalled = (platSetMessageBoxHook(captureBox), true);

// The boxes shown since the last call (the count and the last one).
inline ShownBox takeBoxes() {
    std::lock_guard<std::mutex> guard(shownBoxLock);
    ShownBox taken = shownBoxes;
    shownBoxes = ShownBox{};
    return taken;
}

// The content of a file the report appended to, with its line ends as the
// report's text had them: on Windows an error file is a text file, and every
// "\n" of a report reaches it as "\r\n".
inline std::string readText(const std::string &path) {
    std::string text = readFile(path), lines;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    return lines;
}

// Runs report() until it is not dropped, for at most about ten seconds.
template <class Report> int32_t reportRetrying(Report report) {
    int32_t result = QDM_REPORT_DROPPED;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        result = report();
        if (result != QDM_REPORT_DROPPED) break;
        platSleepMs(10);
    }
    return result;
}
#define REPORT(...) reportRetrying([&] { return QDMreportError(__VA_ARGS__); })

// A test that starts and ends with no error destination configured, no box
// seen, no fault armed, and an error file path in its own scratch folder.
struct SinkFixture : testing::Test {
    ScratchDir dir;
    std::string errorFile = dir.file("errors.log");

    void SetUp() override {
        ASSERT_EQ(QDKsetUserErrorFile(QDK_ERROR_TO_FILE, nullptr), QDK_STATUS_OK);
        takeBoxes();
    }
    void TearDown() override {
        platFaultReset();
        qdmAllocFailReset();
        QDKsetUserErrorFile(QDK_ERROR_TO_FILE, nullptr);
    }
};
