// The engine's health counters and loss lines against what a watch really did
// when posts to the notification thread fail (as Windows' do when the thread's
// queue is full). Dropped rename halves: DecoderTest; overflows from the
// Linux side: tests/policy/HealthExportTest.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RecordingHandler.h"
#include "HostSession.h"
#include "../../TernFileMon/DirectoryChanges/LossReporter.h"
#include "../../TernFileMon/DirectoryChanges/WatchHealth.h"

using terntest::kChangeMask;
using terntest::kDeliveryWaitMs;
using terntest::ProbeWatcher;
using terntest::RecordingHandler;

namespace {

// Collects the loss lines the engine writes while it lives.
class LossLines {
public:
    LossLines() { tern::CLossReporter::Instance().SetLogSink(&Collect, this); }
    ~LossLines() { tern::CLossReporter::Instance().ClearLogSink(this); }
    unsigned long long Sum(const std::string& strKind, const std::string& strRoot) const {
        return terntest::LossLineSum(m_vecLines, strKind, strRoot);
    }

private:
    static void Collect(const char* pszLine, void* pContext) {
        static_cast<LossLines*>(pContext)->m_vecLines.push_back(pszLine);
    }
    std::vector<std::string> m_vecLines;  // the sink is called under the reporter's lock
};

TernHealthRoot RootCounters(const std::string& strRoot) {
    auto pRecord = std::make_unique<TernHealthRecord>();
    pRecord->cbSize = sizeof(TernHealthRecord);
    tern::CHealthRegistry::Instance().Snapshot(*pRecord);
    for (unsigned i = 0; i < pRecord->nRootCount; ++i) {
        if (_stricmp(pRecord->aRoots[i].szRoot, strRoot.c_str()) == 0) return pRecord->aRoots[i];
    }
    ADD_FAILURE() << strRoot << " has no counters";
    return TernHealthRoot{};
}

size_t FileCalls(const RecordingHandler& handler) {
    return handler.Count("added") + handler.Count("removed") + handler.Count("modified") +
           handler.Count("renamed");
}

// The counters of a stopped watch add up.
void ExpectBalanced(const TernHealthCounters& c) {
    EXPECT_EQ(c.nNotificationsPosted, c.nNotificationsDispatched + c.nNotificationsDiscarded);
    EXPECT_EQ(c.nQueueDepth, 0u);
    EXPECT_LE(c.nEmptyCompletions, c.nReadsCompleted);
}

TEST(HealthCounters, FailedPostsAreCountedDiscardedAndReported) {
    terntest::TempFolder folder("health-post");
    LossLines lines;
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.WatchDirectory(folder.Path(), kChangeMask, pHandler, TRUE, "*", ""), 0u);
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1, kDeliveryWaitMs));
        tern::FailNextPosts(1);
        ASSERT_TRUE(terntest::WriteTextFile(folder.Path() + "\\lost.txt", "x"));
        for (int i = 0; i < 100; ++i) {
            if (RootCounters(folder.Path()).counters.nLost[TERN_LOSS_POST_FAILED] != 0) break;
            ::Sleep(20);
        }
        tern::FailNextPosts(0);
        ASSERT_TRUE(terntest::WriteTextFile(folder.Path() + "\\kept.txt", "x"));
        EXPECT_TRUE(pHandler->WaitForCount("added", "kept.txt", 1, kDeliveryWaitMs));
    }
    const TernHealthCounters c = RootCounters(folder.Path()).counters;
    EXPECT_EQ(pHandler->Count("added", "lost.txt"), 0u);
    EXPECT_GE(c.nLost[TERN_LOSS_POST_FAILED], 1u);
    EXPECT_EQ(c.nNotificationsDiscarded, c.nLost[TERN_LOSS_POST_FAILED]);
    EXPECT_EQ(lines.Sum("post-failed", folder.Path()), c.nLost[TERN_LOSS_POST_FAILED]);
    EXPECT_EQ(c.nRecordsDecoded, FileCalls(*pHandler) + c.nLost[TERN_LOSS_POST_FAILED]);
    // What was not lost went through the queue, with the start and the stop.
    EXPECT_EQ(c.nNotificationsDispatched, c.nRecordsDecoded - c.nLost[TERN_LOSS_POST_FAILED] + 2);
    EXPECT_EQ(RootCounters(folder.Path()).nActiveWatches, 0u);
    ExpectBalanced(c);
    pHandler->Release();
}

}  // namespace
