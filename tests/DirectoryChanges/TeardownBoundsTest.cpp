// The bounds of a watcher's ending, hit on purpose: a delivery that stalls
// past the drain bound, a worker that outlasts its exit bound, and a watch
// record whose events cannot be made.
#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "RecordingHandler.h"
#include "../../TernFileMon/DirectoryChanges/DirWatchInfo.h"
#include "../../TernFileMon/DirectoryChanges/LossReporter.h"
#include "../../TernFileMon/DirectoryChanges/WatchHealth.h"

using terntest::WaitUntil;
using terntest::ProbeWatcher;
using terntest::RecordingHandler;
using terntest::TempFolder;

namespace {

constexpr DWORD kNoStopDelivery = 8 | tern::FILTERS_NO_WATCHSTOP_NOTIFICATION;

std::mutex g_linesMutex;
std::vector<std::string> g_vecLossLines;
void CollectLine(const char* pszLine, void*) {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    g_vecLossLines.push_back(pszLine);
}
size_t LineCount() {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    return g_vecLossLines.size();
}

std::uint64_t Queued(const tern::CHealthCounters& c) {
    return c.m_nPosted.load() - c.m_nDispatched.load() - c.m_nDiscarded.load();
}

// The first addition stalls until the test lets it go.
class StallingHandler : public RecordingHandler {
public:
    void OnFileAdded(const tern::ByteString& strName) override {
        RecordingHandler::OnFileAdded(strName);
        if (m_bStalled.exchange(true)) return;
        ::SetEvent(m_hEntered.Get());
        ::WaitForSingleObject(m_hRelease.Get(), 20000);
    }
    std::atomic<bool> m_bStalled{false};
    tern::UniqueHandle m_hEntered{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    tern::UniqueHandle m_hRelease{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

struct LingeringWorkerWatcher : ProbeWatcher {
    LingeringWorkerWatcher() : ProbeWatcher(false, kNoStopDelivery) {}
    void OnWorkerThreadExit() override {
        ::Sleep(m_nLingerMs.load());
        ProbeWatcher::OnWorkerThreadExit();
    }
    std::atomic<DWORD> m_nLingerMs{0};
};

HANDLE FailingEventFactory() {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

}  // namespace

// Every call of a batch after the stalled one is given up when the drain
// bound runs out: counted as lost, said in one loss line before the ending
// returns, and never delivered. (An ending made on the delivering thread
// itself: the last Release from a callback in tests/component/UnloadTest.)
TEST(TeardownBounds, StalledDeliveryIsGivenUpAndReported) {
    TempFolder folder("tbounds");
    tern::CWatchHealth& health = *tern::CHealthRegistry::Instance().ForRoot(folder.Path());
    const std::uint64_t nLostBefore = health.Counters().m_nLost[TERN_LOSS_UNDELIVERED].load();
    tern::CLossReporter::Instance().SetLogSink(&CollectLine, &g_vecLossLines);
    ProbeWatcher watcher(false, kNoStopDelivery);
    watcher.SetEndingBounds(tern::CDirectoryChangeWatcher::kWorkerExitWaitMs, 300);
    auto* pHandler = new StallingHandler();
    ASSERT_EQ(watcher.Watch(folder.Path(), pHandler), 0u);
    for (int i = 0; i < 6; ++i) {
        terntest::WriteTextFile(folder.Child("f" + std::to_string(i) + ".txt"), "x");
        if (i == 0) {
            ASSERT_EQ(::WaitForSingleObject(pHandler->m_hEntered.Get(), 5000), WAIT_OBJECT_0);
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return Queued(health.Counters()) >= 3; }));
    EXPECT_TRUE(watcher.UnwatchAllDirectories());
    const size_t nLinesWhenEnded = LineCount();
    ::SetEvent(pHandler->m_hRelease.Get());
    EXPECT_TRUE(WaitUntil([&] { return Queued(health.Counters()) == 0; }));
    const std::uint64_t nLost = health.Counters().m_nLost[TERN_LOSS_UNDELIVERED].load() - nLostBefore;
    EXPECT_GE(nLost, 2u);
    ASSERT_GE(nLinesWhenEnded, 1u) << "the loss was not said before the ending returned";
    EXPECT_EQ(g_vecLossLines[0], tern::CLossReporter::FormatLine(folder.Path(), tern::ELossKind::Undelivered, nLost));
    ::Sleep(200);
    EXPECT_EQ(pHandler->Count("added"), 1u) << "a call behind the stalled one was delivered";
    tern::CLossReporter::Instance().ClearLogSink(&g_vecLossLines);
    pHandler->Release();
}

// The ending returns at its bound while the worker still runs; the watcher
// then refuses new watches until the worker has left, and works again after.
TEST(TeardownBounds, WorkerOutlastingItsBoundIsAbandonedNotWaitedFor) {
    TempFolder folder("tbounds");
    RecordingHandler* pHandler = new RecordingHandler();
    {
        LingeringWorkerWatcher watcher;
        watcher.SetEndingBounds(200, tern::CDirectoryChangeWatcher::kNotificationDrainMs);
        ASSERT_EQ(watcher.Watch(folder.Path(), pHandler), 0u);
        watcher.m_nLingerMs = 3000;
        EXPECT_TRUE(watcher.UnwatchAllDirectories());
        EXPECT_EQ(watcher.m_nWorkerExits.load(), 0) << "the ending waited for the worker";
        EXPECT_TRUE(watcher.IsWorkerAbandoned());
        EXPECT_EQ(watcher.Watch(folder.Path(), pHandler), static_cast<DWORD>(ERROR_BUSY));
        ASSERT_TRUE(WaitUntil([&] { return watcher.m_nWorkerExits.load() == 1; }, 10000));
        watcher.m_nLingerMs = 0;
        ASSERT_TRUE(WaitUntil([&] {
            watcher.UnwatchAllDirectories();
            return !watcher.IsWorkerAbandoned();
        }));
        EXPECT_EQ(watcher.Watch(folder.Path(), pHandler), 0u);
        EXPECT_TRUE(watcher.UnwatchAllDirectories());
    }
    pHandler->Release();
}

// A record whose events cannot be made is refused at once, and its directory
// handle is closed with it (the folder can be removed: a watch withholds
// delete sharing).
TEST(TeardownBounds, RecordWithoutEventsIsRefusedAtOnce) {
    TempFolder folder("tbounds");
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        tern::SetWatchEventFactory(&FailingEventFactory);
        EXPECT_EQ(watcher.Watch(folder.Path(), pHandler), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        tern::SetWatchEventFactory(nullptr);
        EXPECT_EQ(watcher.NumWatchedDirectories(), 0);
        EXPECT_EQ(pHandler->Count("started"), 0u);
        EXPECT_TRUE(::RemoveDirectoryA(folder.Path().c_str())) << "the directory handle stayed open";
    }
    pHandler->Release();
}
