// Faults of the watch lifecycle that only show under unlucky timing: a start
// confirmed after its caller gave up waiting, and two threads attaching one
// directory at the same moment.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

#include "RecordingHandler.h"
#include "TestDrives.h"
#include "TestFiles.h"

using terntest::kChangeMask;
using terntest::kDeliveryWaitMs;
using terntest::ProbeWatcher;
using terntest::RecordingHandler;

namespace {

// The start handshake waits 10 s for the worker; this worker sleeps longer
// before it takes its first packet.
class LateWorkerWatcher : public ProbeWatcher {
protected:
    void OnWorkerThreadStart() override {
        ProbeWatcher::OnWorkerThreadStart();
        ::Sleep(11500);
    }
};

struct Folder {
    std::string strPath = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "life-fault");
    ~Folder() { terntest::RemoveTree(strPath); }
};

}  // namespace

// The late start counts as a success; the stop that follows must still wait
// for the worker to carry it out, not take the late start's signal for it.
TEST(LifecycleFault, StartConfirmedLateDoesNotPassForTheStop) {
    Folder folder;
    RecordingHandler* pHandler = new RecordingHandler();
    {
        LateWorkerWatcher watcher;
        ASSERT_EQ(watcher.WatchDirectory(folder.strPath, kChangeMask, pHandler, TRUE, "*", ""), 0u);
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1, kDeliveryWaitMs + 2000));
        EXPECT_TRUE(watcher.UnwatchDirectory(folder.strPath));
        EXPECT_EQ(pHandler->Count("stopped"), 1u)
            << "the unwatch returned before the worker had stopped the watch";
        EXPECT_EQ(watcher.NumWatchedDirectories(), 0);
    }
    pHandler->Release();
}

TEST(LifecycleFault, TwoThreadsAttachingOneDirectoryLeaveOneRecord) {
    Folder folder;
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        for (int nRound = 0; nRound < 8; ++nRound) {
            std::atomic<int> nReady{0};
            auto attach = [&] {
                ++nReady;
                while (nReady.load() < 2) {
                }
                EXPECT_EQ(watcher.WatchDirectory(folder.strPath, kChangeMask, pHandler, TRUE, "*", ""),
                          0u);
            };
            std::thread first(attach), second(attach);
            first.join();
            second.join();
            ASSERT_EQ(watcher.NumWatchedDirectories(), 1) << "round " << nRound;
        }
        EXPECT_TRUE(watcher.UnwatchAllDirectories());
    }
    pHandler->Release();
}
