// The watcher on real folders of the fixed test drive: changes through the
// worker and the notification thread to a recording handler, and the
// handshakes between them, including the faults they must survive.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "RecordingHandler.h"
#include "../../TernFileMon/DirectoryChanges/DelayedNotifier.h"
#include "../../TernFileMon/DirectoryChanges/ReadDecoder.h"

using namespace terntest;

namespace {

void WriteFile(const std::string& strPath, const std::string& strText) {
    ASSERT_TRUE(WriteTextFile(strPath, strText)) << strPath;
}

class WatcherEndToEnd : public ::testing::TestWithParam<bool> {};

// Closes this process's handle to the directory, as a vanished volume would
// take it away under the watch. False when no such handle was found.
bool CloseDirectoryHandleBehindTheWatch(const std::string& strDirectory) {
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        const HANDLE hCandidate = reinterpret_cast<HANDLE>(nValue);
        DWORD dwFlags = 0;
        if (!::GetHandleInformation(hCandidate, &dwFlags) || ::GetFileType(hCandidate) != FILE_TYPE_DISK) continue;
        char szPath[MAX_PATH * 2] = {};
        const DWORD nLength = ::GetFinalPathNameByHandleA(hCandidate, szPath, sizeof(szPath),
                                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (nLength == 0 || nLength >= sizeof(szPath)) continue;
        std::string strPath = szPath;
        if (strPath.rfind("\\\\?\\", 0) == 0) strPath = strPath.substr(4);
        if (tern::EqualsNoCase(strPath, strDirectory)) return ::CloseHandle(hCandidate) != FALSE;
    }
    return false;
}

}  // namespace

// Files and directories, created, written, renamed and deleted in a watched
// tree, reach the handler as full paths on the one notification
// thread and never on the worker. The parameter adds a trailing backslash to
// the watched name; the paths are the same either way.
TEST_P(WatcherEndToEnd, ChangesReachTheHandlerInOrderOnTheNotificationThread) {
    TempFolder folder("e2e");
    const std::string& strFolder = folder.Path();
    const std::string strWatched = GetParam() ? strFolder + "\\" : strFolder;
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.Watch(strWatched, pHandler), 0u);
        EXPECT_EQ(::GetLastError(), 0u);
        EXPECT_EQ(watcher.NumWatchedDirectories(), 1);
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1));
        // The watch's reference (queued calls hold one only until delivered).
        EXPECT_TRUE(WaitUntil([&] { return pHandler->GetReferenceCount() == 2; }));
        const DWORD dwNotifyThread = tern::CDelayedNotificationThread::ThreadId();
        EXPECT_NE(dwNotifyThread, 0u);

        // Each step waits for its own call before the next one starts.
        const std::string strA = strFolder + "\\a.txt", strB = strFolder + "\\b.txt", strSub = strFolder + "\\sub";
        WriteFile(strA, "hello");
        ASSERT_TRUE(pHandler->WaitForCount("added", strA, 1));
        ::Sleep(50);
        ASSERT_TRUE(::MoveFileA(strA.c_str(), strB.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("renamed", strA, 1));
        ASSERT_TRUE(::CreateDirectoryA(strSub.c_str(), nullptr));
        ASSERT_TRUE(pHandler->WaitForCount("added", strSub, 1));
        ASSERT_TRUE(::DeleteFileA(strB.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("removed", strB, 1));
        ASSERT_TRUE(::RemoveDirectoryA(strSub.c_str()));
        ASSERT_TRUE(pHandler->WaitForCount("removed", strSub, 1));

        EXPECT_TRUE(watcher.UnwatchDirectory(strWatched));
        EXPECT_EQ(watcher.NumWatchedDirectories(), 0);

        const std::vector<HandlerCall> calls = pHandler->Calls();
        const std::vector<std::string> lines = pHandler->Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "renamed " + strA + " > " + strB), 1);
        EXPECT_GT(pHandler->Count("modified", strA), 0u) << "writing a.txt modifies it";
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front().strKind, "started");
        EXPECT_EQ(calls.front().strName, strWatched);
        EXPECT_EQ(calls.front().dwError, 0u);
        EXPECT_EQ(calls.back().strKind, "stopped");
        EXPECT_EQ(calls.back().strName, strWatched);

        // The notification thread ends with its last watch.
        EXPECT_TRUE(WaitUntil([] { return tern::CDelayedNotificationThread::ThreadId() == 0; }));
        EXPECT_NE(dwNotifyThread, watcher.m_dwWorkerThreadId.load());
        EXPECT_NE(dwNotifyThread, ::GetCurrentThreadId());
        for (const HandlerCall& call : calls) EXPECT_EQ(call.dwThreadId, dwNotifyThread);
        // The watch gives its reference back and unbinds the handler.
        EXPECT_TRUE(WaitUntil([&] { return pHandler->GetReferenceCount() == 1; }));
        EXPECT_EQ(pHandler->GetWatcher(), nullptr);
    }
    pHandler->Release();
}

INSTANTIATE_TEST_SUITE_P(TrailingBackslash, WatcherEndToEnd, ::testing::Bool());

// How a watch's reads get decoded: by the decoding thread, or by the worker
// itself when the decoding thread's queue or the thread could not be had, or
// when the thread failed in the middle of a burst.
struct DecodingCase {
    const char* pszName;
    tern::EReadDecoderFault eFault;  // ThreadFailsNextBatch: after the first files
};
void PrintTo(const DecodingCase& decoding, std::ostream* pStream) { *pStream << decoding.pszName; }

class WatcherBurst : public ::testing::TestWithParam<DecodingCase> {
protected:
    void TearDown() override {
        tern::SetReadDecoderFault(tern::EReadDecoderFault::None);
        tern::SetDecodingThreadDelay(0);
    }
};

// A burst spans many reads, which are handed on in batches: the calls keep
// the order of the changes, arrive while the watch runs (whoever decodes),
// and a watch stopped in the middle of a burst ends after every change it
// delivers, also with reads queued behind a slow decoding thread (the worker
// decodes those itself).
TEST_P(WatcherBurst, ReadsKeepTheirOrderAndEndBeforeTheStopWhoeverDecodes) {
    const tern::EReadDecoderFault eFault = GetParam().eFault;
    const bool bFailMidway = eFault == tern::EReadDecoderFault::ThreadFailsNextBatch;
    if (!bFailMidway) tern::SetReadDecoderFault(eFault);
    TempFolder folder("burst");
    RecordingHandler* pHandler = new RecordingHandler();
    std::vector<std::string> vecMade;
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.Watch(folder.Path(), pHandler), 0u);
        auto makeFiles = [&](int nFiles) {
            for (int i = 0; i < nFiles; ++i) {
                vecMade.push_back(folder.Path() + "\\f" + std::to_string(vecMade.size()) + ".txt");
                WriteFile(vecMade.back(), "");
            }
        };
        makeFiles(300);
        ASSERT_TRUE(pHandler->WaitForCount("added", "", vecMade.size(), 20000));
        if (bFailMidway) {
            // The thread leaves at its next batch; from the next read on the
            // worker decodes, also the last reads, which fill no queue.
            tern::SetReadDecoderFault(eFault);
            makeFiles(100);
            ASSERT_TRUE(pHandler->WaitForCount("added", "", vecMade.size(), 20000));
        }
        tern::SetDecodingThreadDelay(30);
        makeFiles(100);
        EXPECT_TRUE(watcher.UnwatchDirectory(folder.Path()));
    }
    std::vector<std::string> vecAdded;
    const std::vector<HandlerCall> calls = pHandler->Calls();
    for (const HandlerCall& call : calls) {
        if (call.strKind == "added") vecAdded.push_back(call.strName);
    }
    ASSERT_GE(vecAdded.size(), bFailMidway ? 400u : 300u);
    EXPECT_TRUE(std::equal(vecAdded.begin(), vecAdded.end(), vecMade.begin())) << "out of order";
    EXPECT_EQ(calls.back().strKind, "stopped");
    pHandler->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Decoding, WatcherBurst,
    ::testing::Values(DecodingCase{"Thread", tern::EReadDecoderFault::None},
                      DecodingCase{"NoQueueMemory", tern::EReadDecoderFault::NoQueueMemory},
                      DecodingCase{"ThreadNotStarted", tern::EReadDecoderFault::ThreadNotStarted},
                      DecodingCase{"ThreadFailsMidway", tern::EReadDecoderFault::ThreadFailsNextBatch}),
    [](const ::testing::TestParamInfo<DecodingCase>& info) { return std::string(info.param.pszName); });

TEST(WatcherHandshake, BadArgumentsGetClearCodes) {
    TempFolder folder("args");
    ASSERT_TRUE(terntest::WriteTextFile(folder.Child("plain.txt"), "x"));
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ::SetLastError(1234);
        EXPECT_EQ(watcher.WatchDirectory(folder.Path(), 0, pHandler, TRUE, "*", ""), 87u);
        EXPECT_EQ(::GetLastError(), 1234u) << "mask 0 leaves the last error alone";
        EXPECT_EQ(watcher.Watch("", pHandler), 87u);
        EXPECT_EQ(::GetLastError(), 87u);
        EXPECT_EQ(watcher.WatchDirectory(folder.Path(), kChangeMask, nullptr, TRUE, nullptr, nullptr),
                  87u);
        EXPECT_EQ(watcher.Watch(folder.Child("plain.txt"), pHandler),
                  161u);
        EXPECT_EQ(::GetLastError(), 161u);
        EXPECT_EQ(watcher.Watch(folder.Child("missing"), pHandler),
                  161u);
        EXPECT_EQ(watcher.NumWatchedDirectories(), 0);
        EXPECT_TRUE(WaitUntil([&] { return pHandler->GetReferenceCount() == 1; }));

        // Unwatching without a watch: no port yet.
        EXPECT_FALSE(watcher.UnwatchDirectory(folder.Path()));
        EXPECT_FALSE(watcher.UnwatchAllDirectories());
    }
    pHandler->Release();
}

// A directory handle that dies under the watch (a pulled volume): the read
// completes aborted, re-issuing it fails, the handler hears OnWatchError and
// the watch is dropped without OnWatchStopped.
TEST(WatcherHandshake, VanishedDirectoryGivesOnWatchErrorAndDropsTheWatch) {
    TempFolder folder("vanish");
    RecordingHandler* pHandler = new RecordingHandler();
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.Watch(folder.Path(), pHandler), 0u);
        ASSERT_TRUE(pHandler->WaitForCount("started", "", 1));
        ASSERT_TRUE(CloseDirectoryHandleBehindTheWatch(folder.Path()));
        ASSERT_TRUE(pHandler->WaitForCount("error", folder.Path(), 1));
        EXPECT_NE(pHandler->Calls().back().dwError, 0u);
        EXPECT_TRUE(WaitUntil([&] { return watcher.NumWatchedDirectories() == 0; }));
        EXPECT_TRUE(WaitUntil([&] { return pHandler->GetReferenceCount() == 1; }));
        EXPECT_EQ(pHandler->GetWatcher(), nullptr);

        // The worker goes on serving other watches.
        TempFolder other("after-vanish");
        ASSERT_EQ(watcher.Watch(other.Path(), pHandler), 0u);
        ASSERT_TRUE(terntest::WriteTextFile(other.Child("still.txt"), "x"));
        EXPECT_TRUE(pHandler->WaitForCount("added", "still.txt", 1));
        EXPECT_TRUE(watcher.UnwatchAllDirectories());
    }
    EXPECT_EQ(pHandler->Count("stopped"), 1u) << "only the second watch was stopped";
    pHandler->Release();
}
