// Real file changes on the Wine test drives, through the watcher, the worker
// and the notification thread to a recording handler.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>

#include "EngineTestUtil.h"
#include "RecordingHandler.h"
#include "TestDrives.h"
#include "../../TernFileMon/DirectoryChanges/DelayedNotifier.h"
#include "../../TernFileMon/DirectoryChanges/DirectoryChangeWatcher.h"

using terntest::HandlerCall;
using terntest::RecordingHandler;
using tern::CDirectoryChangeWatcher;

namespace {

using terntest::kChangeMask;
using terntest::ProbeWatcher;
constexpr DWORD kWaitMs = terntest::kDeliveryWaitMs;

void WriteFile(const std::string& strPath, const std::string& strText) {
    ASSERT_TRUE(terntest::WriteTextFile(strPath, strText)) << strPath;
}

// Index of the first call of a kind with exactly this name, or -1.
int IndexOf(const std::vector<HandlerCall>& calls, const std::string& strKind,
            const std::string& strName) {
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].strKind == strKind && calls[i].strName == strName) return static_cast<int>(i);
    }
    return -1;
}

class WatcherEndToEnd : public ::testing::TestWithParam<bool> {};

}  // namespace

// Files and directories, created, written, renamed and deleted in a watched
// tree, reach the handler as full paths, in order, on the one notification
// thread and never on the worker. The parameter adds a trailing backslash to
// the watched name; the paths are the same either way.
TEST_P(WatcherEndToEnd, ChangesReachTheHandlerInOrderOnTheNotificationThread) {
    const std::string strFolder = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "e2e");
    const std::string strWatched = GetParam() ? strFolder + "\\" : strFolder;
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.WatchDirectory(strWatched, kChangeMask, pHandler, TRUE, "*", ""), 0u);
        EXPECT_EQ(::GetLastError(), 0u);
        EXPECT_EQ(watcher.NumWatchedDirectories(), 1);
        EXPECT_TRUE(watcher.IsAlreadyWatched(strWatched));
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1, kWaitMs));
        // The watch's reference (queued calls hold one only until delivered).
        for (int i = 0; i < 100 && pHandler->GetReferenceCount() != 2; ++i) ::Sleep(10);
        EXPECT_EQ(pHandler->GetReferenceCount(), 2);
        const DWORD dwNotifyThread = tern::CDelayedNotificationThread::ThreadId();
        EXPECT_NE(dwNotifyThread, 0u);

        const std::string strA = strFolder + "\\a.txt";
        const std::string strB = strFolder + "\\b.txt";
        const std::string strSub = strFolder + "\\sub";
        const std::string strInSub = strSub + "\\inner.dat";
        WriteFile(strA, "hello");
        ASSERT_TRUE(pHandler->WaitForCount("added", strA, 1, kWaitMs));
        ::Sleep(50);
        ASSERT_TRUE(::MoveFileA(strA.c_str(), strB.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("renamed", strA, 1, kWaitMs));
        ASSERT_TRUE(::CreateDirectoryA(strSub.c_str(), nullptr));
        ASSERT_TRUE(pHandler->WaitForCount("added", strSub, 1, kWaitMs));
        ::Sleep(50);
        WriteFile(strInSub, "deep");
        ASSERT_TRUE(pHandler->WaitForCount("added", strInSub, 1, kWaitMs));
        ASSERT_TRUE(::DeleteFileA(strInSub.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("removed", strInSub, 1, kWaitMs));
        ASSERT_TRUE(::DeleteFileA(strB.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("removed", strB, 1, kWaitMs));
        ASSERT_TRUE(::RemoveDirectoryA(strSub.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("removed", strSub, 1, kWaitMs));

        EXPECT_TRUE(watcher.UnwatchDirectory(strWatched));
        EXPECT_EQ(watcher.NumWatchedDirectories(), 0);

        const std::vector<HandlerCall> calls = pHandler->Calls();
        EXPECT_TRUE(pHandler->Has("renamed", strA, strB));
        EXPECT_GT(pHandler->Count("modified", strA), 0u) << "writing a.txt modifies it";
        const int nAdded = IndexOf(calls, "added", strA);
        const int nRenamed = IndexOf(calls, "renamed", strA);
        const int nSubAdded = IndexOf(calls, "added", strSub);
        const int nInnerAdded = IndexOf(calls, "added", strInSub);
        const int nInnerRemoved = IndexOf(calls, "removed", strInSub);
        const int nRemoved = IndexOf(calls, "removed", strB);
        EXPECT_LT(nAdded, nRenamed);
        EXPECT_LT(nRenamed, nSubAdded);
        EXPECT_LT(nSubAdded, nInnerAdded);
        EXPECT_LT(nInnerAdded, nInnerRemoved);
        EXPECT_LT(nInnerRemoved, nRemoved);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front().strKind, "started");
        EXPECT_EQ(calls.front().strName, strWatched);
        EXPECT_EQ(calls.front().dwError, 0u);
        EXPECT_EQ(calls.back().strKind, "stopped");
        EXPECT_EQ(calls.back().strName, strWatched);

        // The notification thread ended with its last watch.
        EXPECT_EQ(tern::CDelayedNotificationThread::ThreadId(), 0u);
        EXPECT_NE(dwNotifyThread, watcher.m_dwWorkerThreadId.load());
        EXPECT_NE(dwNotifyThread, ::GetCurrentThreadId());
        for (const HandlerCall& call : calls) EXPECT_EQ(call.dwThreadId, dwNotifyThread);
        // The watch gave its reference back and unbound the handler.
        EXPECT_EQ(pHandler->GetReferenceCount(), 1);
        EXPECT_EQ(pHandler->GetWatcher(), nullptr);
    }
    pHandler->Release();
    terntest::RemoveTree(strFolder);
}

INSTANTIATE_TEST_SUITE_P(TrailingBackslash, WatcherEndToEnd, ::testing::Bool());

// Without the subtree flag only the watched level is reported; a directory
// rename there is a rename like any other.
TEST(WatcherEndToEndFlat, WatchWithoutSubtreeSeesOnlyItsOwnLevel) {
    const std::string strFolder = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "flat");
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.WatchDirectory(strFolder, kChangeMask, pHandler, FALSE, "*", ""), 0u);
        const std::string strSub = strFolder + "\\sub";
        const std::string strMoved = strFolder + "\\moved";
        ASSERT_TRUE(::CreateDirectoryA(strSub.c_str(), nullptr));
        ASSERT_TRUE(pHandler->WaitForCount("added", strSub, 1, kWaitMs));
        WriteFile(strSub + "\\hidden.txt", "below the watched level");
        WriteFile(strFolder + "\\top.txt", "on the watched level");
        ASSERT_TRUE(pHandler->WaitForCount("added", "top.txt", 1, kWaitMs));
        ASSERT_TRUE(::DeleteFileA((strSub + "\\hidden.txt").c_str()));
        ASSERT_TRUE(::MoveFileA(strSub.c_str(), strMoved.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("renamed", strSub, 1, kWaitMs));
        EXPECT_TRUE(pHandler->Has("renamed", strSub, strMoved));
        EXPECT_EQ(pHandler->Count("added", "hidden.txt"), 0u);
        EXPECT_EQ(pHandler->Count("removed", "hidden.txt"), 0u);
        EXPECT_TRUE(watcher.UnwatchAllDirectories());
    }
    pHandler->Release();
    terntest::RemoveTree(strFolder);
}
