// TernFileMon.dll loaded, used and unloaded the way a host does it, with the
// host's report callback misbehaving: stalled while reports are still in
// flight, or faulting outright. The promises under test: after the last
// Release returns no code of the library runs (so an immediate FreeLibrary is
// safe), a fault in a callback costs one report, and a load/unload cycle
// leaves nothing behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>

#include "HostSession.h"
#include "ProcessCounts.h"
#include "TestDrives.h"
#include "TestFiles.h"
#include "WaitUntil.h"
#include "../../TernFileMon/common/Win32Handles.h"

using terntest::HostSession;

namespace {

constexpr int kCycles = 20;
constexpr int kBurstFiles = 40;

std::atomic<int> g_nReports{0};
std::atomic<bool> g_bInCallback{false};
std::atomic<DWORD> g_nStallMs{1500};
std::atomic<bool> g_bFaultOnNextReport{false};
// Auto-reset: signalled by the reports the tests wait for, each waited for once.
tern::UniqueHandle g_hReported(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
ITernFileMon* g_pReleaseFromCallback = nullptr;
std::atomic<ULONG> g_nCountAfterRelease{99};

// Stalls on the first report of each cycle, while the rest of the burst waits
// behind it on the component's notification thread.
void TERN_CALLBACK StallOnFirstReport(FileMonEvent*) {
    g_bInCallback = true;
    if (g_nReports++ == 0) {
        ::SetEvent(g_hReported.Get());
        ::Sleep(g_nStallMs.load());
    }
    g_bInCallback = false;
}

void TERN_CALLBACK FaultOnRequest(FileMonEvent* pEvent) {
    if (g_bFaultOnNextReport.exchange(false)) *static_cast<volatile int*>(nullptr) = 1;  // a real access violation
    if (pEvent->strPath.find("after-fault") != std::string::npos) ++g_nReports;
}

// The last Release, made on the component's own notification thread.
void TERN_CALLBACK ReleaseOnFirstReport(FileMonEvent*) {
    if (ITernFileMon* pMonitor = std::exchange(g_pReleaseFromCallback, nullptr)) {
        g_nCountAfterRelease = pMonitor->Release();
        ::SetEvent(g_hReported.Get());
    }
}

bool LogContains(const std::string& strText) {
    for (const std::string& strLine : terntest::LogLines()) {
        if (strLine.find(strText) != std::string::npos) return true;
    }
    return false;
}

std::string BurstFileName(int nCycle, int nFile) {
    return terntest::FixedDriveRoot() + "unload-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(nCycle) + "-" + std::to_string(nFile) + ".txt";
}

FileMonRuleList g_anyFile = {{"*", "any", "Add|Copy|Delete|Modify|Rename", "any-file"}};

// One host session: load, start both types, a burst of changes, the callback stalled on
// the first of them, the last Release (no stop first), and FreeLibrary right
// after it.
void RunStalledCycle(int nCycle, DWORD nStallMs) {
    g_nReports = 0;
    g_nStallMs = nStallMs;
    {
        HostSession session;
        if (!session.IsOpen()) return;
        EXPECT_TRUE(session.Start(FILEMON_LOCAL, &g_anyFile, StallOnFirstReport));
        EXPECT_TRUE(session.Start(FILEMON_USB, &g_anyFile, StallOnFirstReport));
        // Started straight after creation: the window the notifications need is already there.
        EXPECT_FALSE(LogContains("No device notification")) << "cycle " << nCycle;
        for (int i = 0; i < kBurstFiles; ++i) EXPECT_TRUE(terntest::WriteTextFile(BurstFileName(nCycle, i), "burst"));
        EXPECT_EQ(::WaitForSingleObject(g_hReported.Get(), 5000), WAIT_OBJECT_0) << "no report in cycle " << nCycle;
        EXPECT_EQ(session.Close(false), 0u);
        EXPECT_FALSE(g_bInCallback.load()) << "Release returned while a report callback still ran";
        EXPECT_EQ(::FindWindowA("FileMonWindowClass", "FileMon"), nullptr);
        EXPECT_TRUE(session.Unload());
    }
    EXPECT_EQ(::GetModuleHandleA("TernFileMon.dll"), nullptr)
        << "a thread of the component still holds the library in cycle " << nCycle;
    for (int i = 0; i < kBurstFiles; ++i) ::DeleteFileA(BurstFileName(nCycle, i).c_str());
}


}  // namespace

// Wine keeps a little of each load: the loader's records of a library loaded
// and freed again and heap pages that are reused but not given back. The
// allowance below is what 20 cycles may add on top of the first one; a cycle
// that left its thread, event or notification records behind (as one did, at
// 250 KB each) exceeds it at once.
TEST(Unload, TwentyStalledCyclesEndCleanlyAndLeaveNothingBehind) {
    constexpr unsigned long kRssAllowanceKb = 1024;
    // The first cycle starts what Wine starts once per process, with the
    // callback stalled for 5 s as a slow host's might be: Release waits for it.
    RunStalledCycle(-1, 5000);
    const unsigned long nHandles = terntest::LeastOf(terntest::OpenHandles, 5), nThreads = terntest::LeastOf(terntest::Threads, 10);
    const unsigned long nRssKb = terntest::LeastOf(terntest::RssAnonKb, 10);
    for (int nCycle = 0; nCycle < kCycles && !HasFailure(); ++nCycle) RunStalledCycle(nCycle, 600);
    EXPECT_EQ(terntest::LeastOf(terntest::OpenHandles, 5), nHandles);
    // Threads of the component end a moment after its release (later on a busy machine).
    EXPECT_EQ(terntest::LeastOf(terntest::Threads, 10), nThreads);
    EXPECT_LE(terntest::LeastOf(terntest::RssAnonKb, 10), nRssKb + kRssAllowanceKb) << "RssAnon before: " << nRssKb << " kB";
}

TEST(Unload, AccessViolationInACallbackIsLoggedAndTheNextReportArrives) {
    g_nReports = 0;
    HostSession session;
    ASSERT_TRUE(session.Start(FILEMON_LOCAL, &g_anyFile, FaultOnRequest));
    const std::string strPrefix = terntest::FixedDriveRoot() + "fault-" + std::to_string(::GetCurrentProcessId());
    g_bFaultOnNextReport = true;
    ASSERT_TRUE(terntest::WriteTextFile(strPrefix + "-first.txt", "1"));
    EXPECT_TRUE(terntest::WaitUntil([] { return LogContains("Notification dispatch fault 0xC0000005"); }, 5000));
    ASSERT_TRUE(terntest::WriteTextFile(strPrefix + "-after-fault.txt", "2"));
    EXPECT_TRUE(terntest::WaitUntil([] { return g_nReports.load() > 0; }, 5000)) << "no report after the fault";
    ::DeleteFileA((strPrefix + "-first.txt").c_str());
    ::DeleteFileA((strPrefix + "-after-fault.txt").c_str());
}

// The last Release made by a report callback cannot wait for the thread it
// runs on: it returns, the rest of the queue is discarded, and the library
// stays loaded (the thread's own reference) until that thread has ended,
// even when the host frees it at once.
TEST(Unload, LastReleaseFromACallbackLeavesTheLibraryLoadedUntilItsThreadEnds) {
    HostSession session(false);
    ITernFileMon* pMonitor = session.CreateObject()("ITernFileMon", nullptr, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    FileMonFilterList filter = {FILEMON_LOCAL, &g_anyFile};
    g_pReleaseFromCallback = pMonitor;
    ASSERT_TRUE(pMonitor->StartMonitoring(ReleaseOnFirstReport, &filter));
    const std::string strFile =
        terntest::FixedDriveRoot() + "release-in-callback-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    ASSERT_TRUE(terntest::WriteTextFile(strFile, "1"));
    ASSERT_EQ(::WaitForSingleObject(g_hReported.Get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(g_nCountAfterRelease.load(), 0u);
    EXPECT_TRUE(session.Unload());
    EXPECT_TRUE(terntest::WaitUntil([] { return ::GetModuleHandleA("TernFileMon.dll") == nullptr; }, 10000))
        << "the notification thread did not end";
    ::DeleteFileA(strFile.c_str());
}
