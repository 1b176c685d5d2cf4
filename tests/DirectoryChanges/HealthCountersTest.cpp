// The engine's health counters and loss lines against what a watch really did
// when posts to the notification thread fail (as Windows' do when the thread's
// queue is full). Dropped rename halves: DecoderTest; overflows from the
// Linux side and the counters as hosts read them: tests/policy/HealthExportTest.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "RecordingHandler.h"
#include "HostSession.h"
#include "../../TernFileMon/DirectoryChanges/LossReporter.h"
#include "../../TernFileMon/DirectoryChanges/WatchHealth.h"

using terntest::ProbeWatcher;
using terntest::RecordingHandler;

namespace {

// The sink is called under the reporter's lock.
void CollectLine(const char* pszLine, void* pContext) {
    static_cast<std::vector<std::string>*>(pContext)->push_back(pszLine);
}

TEST(HealthCounters, FailedPostsAreCountedDiscardedAndReported) {
    terntest::TempFolder folder("health-post");
    std::vector<std::string> vecLines;
    tern::CLossReporter::Instance().SetLogSink(&CollectLine, &vecLines);
    tern::CWatchHealth& health = *tern::CHealthRegistry::Instance().ForRoot(folder.Path());
    const tern::CHealthCounters& c = health.Counters();
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.Watch(folder.Path(), pHandler), 0u);
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1));
        tern::FailNextPosts(1);
        ASSERT_TRUE(terntest::WriteTextFile(folder.Child("lost.txt"), "x"));
        terntest::WaitUntil([&] { return c.m_nLost[TERN_LOSS_POST_FAILED].load() != 0; });
        tern::FailNextPosts(0);
        ASSERT_TRUE(terntest::WriteTextFile(folder.Child("kept.txt"), "x"));
        EXPECT_TRUE(pHandler->WaitForCount("added", "kept.txt", 1));
    }
    tern::CLossReporter::Instance().ClearLogSink(&vecLines);
    const std::uint64_t nLost = c.m_nLost[TERN_LOSS_POST_FAILED].load();
    EXPECT_EQ(pHandler->Count("added", "lost.txt"), 0u);
    EXPECT_GE(nLost, 1u);
    EXPECT_EQ(c.m_nDiscarded.load(), nLost);
    EXPECT_EQ(terntest::LossLineSum(vecLines, "post-failed", folder.Path()), nLost);
    const size_t nFileCalls = pHandler->Calls().size() - pHandler->Count("started") - pHandler->Count("stopped");
    EXPECT_EQ(c.m_nRecordsDecoded.load(), nFileCalls + nLost);
    // What was not lost went through the queue, with the start and the stop.
    EXPECT_EQ(c.m_nDispatched.load(), c.m_nRecordsDecoded.load() - nLost + 2);
    EXPECT_EQ(c.m_nPosted.load(), c.m_nDispatched.load() + c.m_nDiscarded.load());
    EXPECT_LE(c.m_nEmptyCompletions.load(), c.m_nReadsCompleted.load());
    EXPECT_EQ(health.m_nActiveWatches.load(), 0);
    pHandler->Release();
}

}  // namespace
