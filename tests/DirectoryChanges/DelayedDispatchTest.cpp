// The deferring wrapper: filter flags, the filter test, both transports and
// the wait for the delivery of OnWatchStopped.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "DebugOutputCapture.h"
#include "EngineTestUtil.h"
#include "RecordingHandler.h"
#include "RegistrySwitch.h"
#include "TestDrives.h"
#include "../../TernFileMon/DirectoryChanges/DelayedDirectoryChangeHandler.h"
#include "../../TernFileMon/DirectoryChanges/DelayedNotifier.h"
#include "../../TernFileMon/DirectoryChanges/PathMatcher.h"

using terntest::kChangeMask;
using terntest::kDeliveryWaitMs;
using terntest::ProbeWatcher;
using terntest::RecordingHandler;
using tern::CChangeNotification;
using tern::CDelayedDirectoryChangeHandler;

namespace {

struct FlagRun {
    size_t nStarted = 0;
    size_t nStopped = 0;
    size_t nAdded = 0;
    int nAcceptCalls = 0;
    bool bRejectedSeen = false;
};

// Watches a fresh folder with the flags, creates keep.txt and skip.log (the
// handler rejects names ending in ".log"), and unwatches.
FlagRun RunWithFlags(DWORD dwFlags) {
    FlagRun run;
    const std::string strFolder = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "flags");
    RecordingHandler* pHandler = new RecordingHandler();
    pHandler->m_strRejectSuffix = ".log";
    {
        ProbeWatcher watcher(false, dwFlags);
        EXPECT_EQ(watcher.WatchDirectory(strFolder, FILE_NOTIFY_CHANGE_FILE_NAME, pHandler, TRUE,
                                         "*", ""),
                  0u);
        EXPECT_TRUE(terntest::WriteTextFile(strFolder + "\\skip.log", "x"));
        EXPECT_TRUE(terntest::WriteTextFile(strFolder + "\\keep.txt", "x"));
        EXPECT_TRUE(pHandler->WaitForCount("added", "keep.txt", 1, kDeliveryWaitMs));
        EXPECT_TRUE(watcher.UnwatchDirectory(strFolder));
    }
    run.nStarted = pHandler->Count("started");
    run.nStopped = pHandler->Count("stopped");
    run.nAdded = pHandler->Count("added");
    run.nAcceptCalls = pHandler->m_nAcceptCalls.load();
    run.bRejectedSeen = pHandler->Count("added", "skip.log") > 0;
    pHandler->Release();
    terntest::RemoveTree(strFolder);
    return run;
}

CChangeNotification MakeNotification(CDelayedDirectoryChangeHandler* pWrapper, long eKind,
                                     char* pszName, char* pszNewName = nullptr) {
    CChangeNotification notification;
    notification.m_pDelayedHandler = tern::RefPtr<CDelayedDirectoryChangeHandler>::Share(pWrapper);
    notification.m_eFunctionToDispatch = eKind;
    notification.m_strFileName1 = pszName;
    if (pszNewName != nullptr) notification.m_strFileName2 = pszNewName;
    return notification;
}

}  // namespace

TEST(DelayedDispatch, FilterFlagsDecideWhatReachesTheHandler) {
    // The file monitor's flags: every file notification is offered once to
    // AcceptNotification, after the (empty) pattern stage.
    const FlagRun normal = RunWithFlags(8);
    EXPECT_EQ(normal.nStarted, 1u);
    EXPECT_EQ(normal.nStopped, 1u);
    EXPECT_EQ(normal.nAdded, 1u);
    EXPECT_FALSE(normal.bRejectedSeen);
    EXPECT_GE(normal.nAcceptCalls, 2);

    const FlagRun quiet = RunWithFlags(8 | 64 | 128);
    EXPECT_EQ(quiet.nStarted, 0u);
    EXPECT_EQ(quiet.nStopped, 0u);
    EXPECT_EQ(quiet.nAdded, 1u);

    const FlagRun untested = RunWithFlags(1 | 32);
    EXPECT_EQ(untested.nAcceptCalls, 0);
    EXPECT_TRUE(untested.bRejectedSeen);
    EXPECT_EQ(untested.nAdded, 2u);

    const FlagRun handlerFirst = RunWithFlags(16);
    EXPECT_FALSE(handlerFirst.bRejectedSeen);
    EXPECT_GE(handlerFirst.nAcceptCalls, 2);
}

TEST(DelayedDispatch, IsNotificationWantedFollowsTheFlags) {
    RecordingHandler* pReal = new RecordingHandler();
    pReal->m_strRejectSuffix = ".log";
    char szKeep[] = "D:\\w\\keep.txt";
    char szSkip[] = "D:\\w\\skip.log";
    char szDir[] = "D:\\w";
    {
        CDelayedDirectoryChangeHandler wrapper(pReal, false, "*", "", 8);
        wrapper.SetPartialPathOffset("D:\\w");
        EXPECT_EQ(wrapper.GetPartialPathOffset(), 0u) << "only with flag 4";
        CChangeNotification keep = MakeNotification(&wrapper, tern::NOTIFY_KIND_ADDED, szKeep);
        CChangeNotification skip = MakeNotification(&wrapper, tern::NOTIFY_KIND_ADDED, szSkip);
        CChangeNotification error = MakeNotification(&wrapper, tern::NOTIFY_KIND_WATCH_ERROR, szSkip);
        EXPECT_TRUE(wrapper.IsNotificationWanted(&keep));
        EXPECT_FALSE(wrapper.IsNotificationWanted(&skip));
        EXPECT_TRUE(wrapper.IsNotificationWanted(&error)) << "watch events are never filtered";
        EXPECT_FALSE(wrapper.IsNotificationWanted(nullptr));

        // Without a real handler nothing is wanted.
        EXPECT_EQ(wrapper.SetRealDirectoryChangeHandler(nullptr), pReal);
        EXPECT_FALSE(wrapper.IsNotificationWanted(&keep));
        EXPECT_EQ(wrapper.SetRealDirectoryChangeHandler(pReal), nullptr);
        // The wrapper holds no reference of its own: the watch record does.
        EXPECT_EQ(wrapper.SetRealDirectoryChangeHandler(nullptr), pReal);
    }
    {
        CDelayedDirectoryChangeHandler wrapper(nullptr, false, nullptr, nullptr, 4);
        wrapper.SetPartialPathOffset("D:\\w");
        EXPECT_EQ(wrapper.GetPartialPathOffset(), 5u);
        wrapper.SetPartialPathOffset("D:\\w\\");
        EXPECT_EQ(wrapper.GetPartialPathOffset(), 5u);
        CChangeNotification stop = MakeNotification(&wrapper, tern::NOTIFY_KIND_WATCH_STOPPED, szDir);
        EXPECT_FALSE(wrapper.IsNotificationWanted(&stop)) << "no real handler";
    }
    pReal->Release();
}

TEST(DelayedDispatch, StopIsConfirmedEvenWhenTheHandlerThrows) {
    terntest::AutoTestSwitch trace;
    terntest::DebugOutputCapture capture;
    const std::string strFolder = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "throw");
    RecordingHandler* pHandler = new RecordingHandler();
    pHandler->m_bThrowOnStop = true;
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.WatchDirectory(strFolder, kChangeMask, pHandler, TRUE, "*", ""), 0u);
        EXPECT_TRUE(watcher.UnwatchDirectory(strFolder));
        EXPECT_EQ(pHandler->Count("stopped"), 1u);
        EXPECT_EQ(capture.Count("WaitForShutdown"), 0u);
        EXPECT_EQ(capture.Count("UnwatchDirectory Fail"), 0u);
        EXPECT_EQ(pHandler->GetReferenceCount(), 1);
    }
    pHandler->Release();
    terntest::RemoveTree(strFolder);
}

namespace {

struct GuiRun {
    std::string strFolder;
    RecordingHandler* pHandler = nullptr;
    DWORD dwThreadId = 0;
    DWORD dwWatchResult = 1;
    BOOL bUnwatched = FALSE;
    bool bWindowSeen = false;
    bool bWindowGone = false;
};

void PumpMessages() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
}

// A thread with a message loop that owns a GUI watcher.
DWORD WINAPI GuiThreadProc(LPVOID pParam) {
    GuiRun& run = *static_cast<GuiRun*>(pParam);
    run.dwThreadId = ::GetCurrentThreadId();
    {
        // Flag 128: the unwatch must not wait for a stop that this very
        // thread would have to deliver.
        ProbeWatcher watcher(true, 8 | 128);
        run.dwWatchResult =
            watcher.WatchDirectory(run.strFolder, kChangeMask, run.pHandler, TRUE, "*", "");
        run.bWindowSeen = ::FindWindowA("Delayed_Message_Sender", "DelayedWnd") != nullptr;
        terntest::WriteTextFile(run.strFolder + "\\gui.txt", "x");
        const ULONGLONG nEnd = ::GetTickCount64() + kDeliveryWaitMs;
        while (run.pHandler->Count("added", "gui.txt") == 0 && ::GetTickCount64() < nEnd) {
            PumpMessages();
            ::Sleep(10);
        }
        ::Sleep(100);
        PumpMessages();
        run.bUnwatched = watcher.UnwatchDirectory(run.strFolder);
    }
    run.bWindowGone = tern::CDelayedNotificationWindow::WindowHandle() == nullptr;
    return 0;
}

}  // namespace

// With the GUI flag, notifications travel through the hidden window and
// arrive on the thread that created it, which runs a message loop.
TEST(DelayedDispatch, WindowTransportDeliversOnTheWindowThread) {
    GuiRun run;
    run.strFolder = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "gui");
    run.pHandler = new RecordingHandler();
    HANDLE hThread = ::CreateThread(nullptr, 0, GuiThreadProc, &run, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    ASSERT_EQ(::WaitForSingleObject(hThread, 15000), WAIT_OBJECT_0);
    ::CloseHandle(hThread);

    EXPECT_EQ(run.dwWatchResult, 0u);
    EXPECT_TRUE(run.bWindowSeen);
    EXPECT_TRUE(run.bUnwatched);
    EXPECT_TRUE(run.bWindowGone);
    const auto calls = run.pHandler->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().strKind, "started");
    EXPECT_EQ(run.pHandler->Count("added", "gui.txt"), 1u);
    for (const auto& call : calls) EXPECT_EQ(call.dwThreadId, run.dwThreadId);
    EXPECT_EQ(run.pHandler->GetReferenceCount(), 1);
    run.pHandler->Release();
    terntest::RemoveTree(run.strFolder);
}

TEST(DelayedDispatch, WildcardMatching) {
    tern::PrepareWildcardMatcher();
    EXPECT_TRUE(tern::MatchesWildcard("report.doc", "*.doc"));
    EXPECT_FALSE(tern::MatchesWildcard("report.docx", "*.doc"));
    EXPECT_FALSE(tern::MatchesWildcard(nullptr, "*"));

    // The matcher of our own, used when Shlwapi cannot be loaded.
    EXPECT_TRUE(tern::MatchWildcardFallback("report.doc", "*.doc"));
    EXPECT_TRUE(tern::MatchWildcardFallback("a.b.c", "a*c"));
    EXPECT_TRUE(tern::MatchWildcardFallback("abc", "a?c"));
    EXPECT_TRUE(tern::MatchWildcardFallback("", "*"));
    EXPECT_TRUE(tern::MatchWildcardFallback("aaab", "*a*b"));
    EXPECT_FALSE(tern::MatchWildcardFallback("abc", "a?"));
    EXPECT_FALSE(tern::MatchWildcardFallback("abd", "*c"));
    EXPECT_FALSE(tern::MatchWildcardFallback("ABC", "abc")) << "bytes compare exactly";
    EXPECT_FALSE(tern::MatchWildcardFallback(nullptr, "*"));
    EXPECT_FALSE(tern::MatchWildcardFallback("x", nullptr));
}
