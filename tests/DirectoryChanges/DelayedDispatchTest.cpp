// The deferring wrapper: filter flags, the filter test, the thread transport and
// the wait for the delivery of OnWatchStopped.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "RecordingHandler.h"
#include "../../TernFileMon/DirectoryChanges/DelayedDirectoryChangeHandler.h"
#include "../../TernFileMon/DirectoryChanges/PathMatcher.h"

using namespace terntest;
using tern::CChangeNotification;
using tern::CDelayedDirectoryChangeHandler;

namespace {

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

// Watches a fresh folder with the flags, creates skip.log (which the handler
// rejects) and keep.txt, and unwatches.
TEST(DelayedDispatch, FilterFlagsDecideWhatReachesTheHandler) {
    struct FlagCase {
        DWORD dwFlags;
        size_t nStarted, nStopped, nAdded;
        bool bRejectedSeen, bAcceptAsked;
    };
    const FlagCase cases[] = {
        {8, 1, 1, 1, false, true},             // the file monitor's flags: each file offered to the handler
        {8 | 64 | 128, 0, 0, 1, false, true},  // no start and stop notifications
        {1 | 32, 1, 1, 2, true, false},        // no test at all
        {16, 1, 1, 1, false, true},            // the handler's test first
    };
    for (const FlagCase& c : cases) {
        TempFolder folder("flags");
        RecordingHandler* pHandler = new RecordingHandler();
        pHandler->m_strRejectSuffix = ".log";
        {
            ProbeWatcher watcher(false, c.dwFlags);
            EXPECT_EQ(watcher.WatchDirectory(folder.Path(), FILE_NOTIFY_CHANGE_FILE_NAME, pHandler, TRUE, "*", ""), 0u);
            EXPECT_TRUE(WriteTextFile(folder.Child("skip.log"), "x"));
            EXPECT_TRUE(WriteTextFile(folder.Child("keep.txt"), "x"));
            EXPECT_TRUE(pHandler->WaitForCount("added", "keep.txt", 1));
            EXPECT_TRUE(watcher.UnwatchDirectory(folder.Path()));
        }
        EXPECT_EQ(pHandler->Count("started"), c.nStarted) << c.dwFlags;
        EXPECT_EQ(pHandler->Count("stopped"), c.nStopped) << c.dwFlags;
        EXPECT_EQ(pHandler->Count("added"), c.nAdded) << c.dwFlags;
        EXPECT_EQ(pHandler->Count("added", "skip.log") > 0, c.bRejectedSeen) << c.dwFlags;
        const int nAsked = pHandler->m_nAcceptCalls.load();  // for both files, or not at all
        EXPECT_TRUE(c.bAcceptAsked ? nAsked >= 2 : nAsked == 0) << c.dwFlags << ": " << nAsked;
        pHandler->Release();
    }
}

// What the handler's test rejects is not wanted, watch events always are,
// and nothing is without a real handler. The partial path is cut only with flag 4.
TEST(DelayedDispatch, IsNotificationWantedFollowsTheFlags) {
    RecordingHandler* pReal = new RecordingHandler();
    pReal->m_strRejectSuffix = ".log";
    char szSkip[] = "D:\\w\\skip.log";
    {
        CDelayedDirectoryChangeHandler wrapper(pReal, false, "*", "", 8);
        wrapper.SetPartialPathOffset("D:\\w");
        EXPECT_EQ(wrapper.GetPartialPathOffset(), 0u);
        CChangeNotification skip = MakeNotification(&wrapper, tern::NOTIFY_KIND_ADDED, szSkip);
        CChangeNotification error = MakeNotification(&wrapper, tern::NOTIFY_KIND_WATCH_ERROR, szSkip);
        EXPECT_FALSE(wrapper.IsNotificationWanted(&skip));
        EXPECT_TRUE(wrapper.IsNotificationWanted(&error));
        EXPECT_FALSE(wrapper.IsNotificationWanted(nullptr));
        // Taken back before the wrapper's end would release it.
        EXPECT_EQ(wrapper.SetRealDirectoryChangeHandler(nullptr), pReal);
        EXPECT_FALSE(wrapper.IsNotificationWanted(&error));
    }
    CDelayedDirectoryChangeHandler wrapper(nullptr, false, nullptr, nullptr, 4);
    wrapper.SetPartialPathOffset("D:\\w");
    EXPECT_EQ(wrapper.GetPartialPathOffset(), 5u);
    wrapper.SetPartialPathOffset("D:\\w\\");
    EXPECT_EQ(wrapper.GetPartialPathOffset(), 5u);
    pReal->Release();
}

TEST(DelayedDispatch, StopIsConfirmedEvenWhenTheHandlerThrows) {
    TempFolder folder("throw");
    const std::string& strFolder = folder.Path();
    RecordingHandler* pHandler = new RecordingHandler();
    pHandler->m_bThrowOnStop = true;
    {
        ProbeWatcher watcher;
        ASSERT_EQ(watcher.Watch(strFolder, pHandler), 0u);
        EXPECT_TRUE(watcher.UnwatchDirectory(strFolder));
        EXPECT_EQ(pHandler->Count("stopped"), 1u);
        EXPECT_TRUE(WaitUntil([&] { return pHandler->GetReferenceCount() == 1; }));
    }
    pHandler->Release();
}

// What one read decoded reaches the handler as one delivery batch, however
// the transport hands it on: what handlers look at once per batch is looked at
// again for the next read's changes.
TEST(DelayedDispatch, EachDecodedReadIsOneDeliveryBatch) {
    RecordingHandler* pReal = new RecordingHandler();
    {
        CDelayedDirectoryChangeHandler wrapper(pReal, false, nullptr, nullptr, 1 | 32);
        const std::vector<std::vector<std::string>> vecReads = {{"D:\\b\\1", "D:\\b\\2", "D:\\b\\3"}, {"D:\\b\\4"}};
        for (const std::vector<std::string>& vecRead : vecReads) {
            wrapper.BeginBatch();
            for (const std::string& strName : vecRead) wrapper.OnFileAdded(strName);
            wrapper.EndBatch();
        }
        ASSERT_TRUE(pReal->WaitForCount("added", "D:\\b\\", 4));
        // Delivered notifications let go of the wrapper right after the call.
        EXPECT_TRUE(WaitUntil([&] { return wrapper.GetReferenceCount() == 1; }));
        wrapper.SetRealDirectoryChangeHandler(nullptr);
    }
    const std::vector<HandlerCall> calls = pReal->Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_NE(calls[0].nBatch, 0u);
    EXPECT_EQ(calls[1].nBatch, calls[0].nBatch);
    EXPECT_EQ(calls[2].nBatch, calls[0].nBatch);
    EXPECT_NE(calls[3].nBatch, calls[0].nBatch);
    EXPECT_NE(calls[3].nBatch, 0u);
    pReal->Release();
}

TEST(DelayedDispatch, WildcardMatching) {
    tern::PrepareWildcardMatcher();
    EXPECT_TRUE(tern::MatchesWildcard("report.doc", "*.doc"));
    EXPECT_FALSE(tern::MatchesWildcard("report.docx", "*.doc"));
    EXPECT_FALSE(tern::MatchesWildcard(nullptr, "*"));
    // The matcher of our own, used when Shlwapi cannot be loaded; bytes compare exactly.
    const struct { const char *pszText, *pszPattern; bool bMatch; } cases[] = {
        {"report.doc", "*.doc", true}, {"a.b.c", "a*c", true}, {"abc", "a?c", true}, {"", "*", true},
        {"aaab", "*a*b", true}, {"abc", "a?", false}, {"abd", "*c", false}, {"ABC", "abc", false},
        {nullptr, "*", false}, {"x", nullptr, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(tern::MatchWildcardFallback(c.pszText, c.pszPattern), c.bMatch) << (c.pszPattern ? c.pszPattern : "");
    }
}
