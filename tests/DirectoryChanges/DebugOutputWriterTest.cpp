// The debugger-output writer: lines handed in by several threads at once reach
// the debugger output whole, each thread's in its own order, through a queue
// that never holds more than its capacity; the end of the last use returns
// only when everything is written, and lines without a user are written at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../../TernFileMon/common/DebugOutput.h"
#include "DebugOutputCapture.h"

namespace {

using terntest::DebugOutputCapture;

constexpr int kThreads = 4;
constexpr int kLinesPerThread = 300;
constexpr size_t kCapacity = 256;  // a few lines: the writers must wait for room

std::string LineText(int nThread, int nLine) {
    char szLine[64];
    std::snprintf(szLine, sizeof(szLine), "dow-line %d %05d", nThread, nLine);
    return szLine;
}

TEST(DebugOutputWriter, KeepsOrderBoundsItsQueueAndDrainsAtTheEnd) {
    DebugOutputCapture capture;
    tern::CDebugOutputWriter writer(kCapacity);

    writer.Write("dow-before");  // no user: written before the call returns
    EXPECT_EQ(capture.Count("dow-before"), 1u);

    writer.BeginUse();
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&writer, t] {
            for (int i = 0; i < kLinesPerThread; ++i) writer.Write(LineText(t, i).c_str());
        });
    }
    for (std::thread& producer : producers) producer.join();
    ASSERT_TRUE(writer.EndUse());

    // Everything is written once EndUse has returned, whole and in order.
    std::vector<int> vecNext(kThreads, 0);
    size_t nLines = 0;
    for (const std::string& strLine : capture.Lines()) {
        int nThread = -1;
        int nLine = -1;
        if (std::sscanf(strLine.c_str(), "dow-line %d %d", &nThread, &nLine) != 2) continue;
        ++nLines;
        ASSERT_GE(nThread, 0);
        ASSERT_LT(nThread, kThreads);
        EXPECT_EQ(strLine, LineText(nThread, nLine));
        EXPECT_EQ(nLine, vecNext[static_cast<size_t>(nThread)]++) << "thread " << nThread;
    }
    EXPECT_EQ(nLines, static_cast<size_t>(kThreads * kLinesPerThread));
    EXPECT_EQ(writer.DroppedLines(), 0u);
    EXPECT_LE(writer.PeakQueuedBytes(), kCapacity);
    EXPECT_GE(writer.PeakQueuedBytes(), LineText(0, 0).size() + sizeof(std::string));

    // After the last use the thread is gone: a line is written at once again,
    // and a new use starts a new thread that the next end drains.
    writer.Write("dow-after");
    EXPECT_EQ(capture.Count("dow-after"), 1u);
    writer.BeginUse();
    writer.Write("dow-again");
    ASSERT_TRUE(writer.EndUse());
    EXPECT_EQ(capture.Count("dow-again"), 1u);
}

}  // namespace
