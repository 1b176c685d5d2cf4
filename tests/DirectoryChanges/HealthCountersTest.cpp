// The engine's health counters and loss lines against what a watch really did:
// an overflow made on purpose from the Linux side, and posts made to fail.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "EngineTestUtil.h"
#include "RecordingHandler.h"
#include "TestDrives.h"
#include "UnixShell.h"
#include "../../TernFileMon/DirectoryChanges/LossReporter.h"
#include "../../TernFileMon/DirectoryChanges/WatchHealth.h"

using terntest::kChangeMask;
using terntest::kDeliveryWaitMs;
using terntest::ProbeWatcher;
using terntest::RecordingHandler;

namespace {

class FreshFolder {
public:
    explicit FreshFolder(const char* pszPrefix)
        : m_strPath(terntest::MakeFreshFolder(terntest::FixedDriveRoot(), pszPrefix)) {}
    ~FreshFolder() { terntest::RemoveTree(m_strPath); }
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// Collects the loss lines the engine writes while it lives.
class LossLines {
public:
    LossLines() { tern::CLossReporter::Instance().SetLogSink(&Collect, this); }
    ~LossLines() { tern::CLossReporter::Instance().ClearLogSink(this); }
    // Sum of the counts of the lines "Lost changes: <kind> xN on <root>".
    unsigned long long Sum(const std::string& strKind, const std::string& strRoot) const {
        const std::string strHead = "Lost changes: " + strKind + " x";
        const std::string strTail = " on " + strRoot;
        unsigned long long nSum = 0;
        for (const std::string& strLine : m_vecLines) {
            if (strLine.rfind(strHead, 0) != 0) continue;
            if (strLine.size() < strTail.size() ||
                strLine.compare(strLine.size() - strTail.size(), strTail.size(), strTail) != 0) {
                continue;
            }
            nSum += std::strtoull(strLine.c_str() + strHead.size(), nullptr, 10);
        }
        return nSum;
    }
    size_t Count() const { return m_vecLines.size(); }

private:
    static void Collect(void* pContext, const char* pszLine) {
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

void WaitUntilQuiet(const RecordingHandler& handler) {
    size_t nSeen = 0;
    for (int i = 0; i < 50; ++i) {
        ::Sleep(100);
        const size_t nNow = handler.Calls().size();
        if (nNow == nSeen && i > 2) break;
        nSeen = nNow;
    }
}

TEST(HealthCounters, OverflowFromLinuxShowsInLossLinesAndCounters) {
    FreshFolder folder("health-burst");
    LossLines lines;
    RecordingHandler* pHandler = new RecordingHandler();
    const DWORD dwStart = ::GetTickCount();
    unsigned long nEmpty = 0;
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.WatchDirectory(folder.Path(), kChangeMask, pHandler, TRUE, "*", ""), 0u);
        EXPECT_EQ(RootCounters(folder.Path()).nActiveWatches, 1u);
        // Whether one burst overflows depends on scheduling: a few tries make it certain enough.
        for (int nTry = 0; nTry < 4 && watcher.GetEmptyCompletionCount() == 0; ++nTry) {
            ASSERT_TRUE(terntest::RunUnixShellIn(
                folder.Path(), "seq -f b" + std::to_string(nTry) + "-%g 3000 | xargs touch", 20000));
            WaitUntilQuiet(*pHandler);
        }
        nEmpty = watcher.GetEmptyCompletionCount();
        ASSERT_GT(nEmpty, 0ul) << "no burst overflowed the buffer";
    }
    const DWORD dwSeconds = (::GetTickCount() - dwStart) / 1000;
    const TernHealthRoot root = RootCounters(folder.Path());
    const TernHealthCounters& c = root.counters;
    EXPECT_EQ(root.nActiveWatches, 0u);
    EXPECT_EQ(c.nEmptyCompletions, nEmpty);
    EXPECT_EQ(c.nLost[TERN_LOSS_OVERFLOW], nEmpty);
    // Every overflow is in a line, and the lines were rate-limited.
    EXPECT_EQ(lines.Sum("overflow", folder.Path()), c.nLost[TERN_LOSS_OVERFLOW]);
    EXPECT_LE(lines.Count(), 3u * (dwSeconds + 2)) << "more than one line per second and kind";
    EXPECT_EQ(c.nRecordsDecoded, FileCalls(*pHandler));
    // Each decoded change, the start and the stop went through the queue.
    EXPECT_EQ(c.nNotificationsDispatched, c.nRecordsDecoded + 2);
    EXPECT_GE(c.nQueueDepthHighest, 1u);
    ExpectBalanced(c);
    terntest::RunUnixShellIn(folder.Path(), "rm -f b*", 10000);
    pHandler->Release();
}

TEST(HealthCounters, FailedPostsAreCountedDiscardedAndReported) {
    FreshFolder folder("health-post");
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
    ExpectBalanced(c);
    pHandler->Release();
}

}  // namespace
