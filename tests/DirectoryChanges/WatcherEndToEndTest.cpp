// Real file changes on the Wine test drives, through the watcher, the worker
// and the notification thread to a recording handler.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>

#include "RecordingHandler.h"
#include "TestDrives.h"
#include "../../TernFileMon/DirectoryChanges/DelayedNotifier.h"
#include "../../TernFileMon/DirectoryChanges/DirectoryChangeWatcher.h"

using terntest::HandlerCall;
using terntest::RecordingHandler;
using tern::CDirectoryChangeWatcher;

namespace {

constexpr DWORD kChangeMask = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                              FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE;
constexpr DWORD kWaitMs = 3000;

// A watcher that remembers which thread ran its worker loop.
class ProbeWatcher : public CDirectoryChangeWatcher {
public:
    explicit ProbeWatcher(bool bHasGui = false, DWORD dwFlags = 8)
        : CDirectoryChangeWatcher(bHasGui, dwFlags) {}
    ~ProbeWatcher() override { UnwatchAllDirectories(); }
    std::atomic<DWORD> m_dwWorkerThreadId{0};
    std::atomic<int> m_nWorkerExits{0};

protected:
    void OnWorkerThreadStart() override { m_dwWorkerThreadId = ::GetCurrentThreadId(); }
    void OnWorkerThreadExit() override { ++m_nWorkerExits; }
};

void WriteFile(const std::string& strPath, const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE) << strPath;
    DWORD nWritten = 0;
    ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &nWritten, nullptr);
    ::CloseHandle(hFile);
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
        EXPECT_EQ(pHandler->GetReferenceCount(), 2);
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1, kWaitMs));
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
