// TernFileMon.dll loaded, used and unloaded the way a host does it, with the
// host's report callback misbehaving: stalled while reports are still in
// flight, or faulting outright. The promises under test: after the last
// Release returns no code of the library runs (so an immediate FreeLibrary is
// safe), a fault in a callback costs one report, and a load/unload cycle
// leaves nothing behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HandleCount.h"
#include "HostSession.h"
#include "TestDrives.h"
#include "TestFiles.h"

using terntest::HostSession;

namespace {

constexpr int kCycles = 20;
constexpr int kBurstFiles = 40;

std::atomic<int> g_nReports{0};
std::atomic<bool> g_bInCallback{false};
std::atomic<DWORD> g_nStallMs{1500};
std::atomic<bool> g_bFaultOnNextReport{false};
HANDLE g_hReported = nullptr;  // auto-reset: signalled by the reports the tests wait for
ITernFileMon* g_pReleaseFromCallback = nullptr;
std::atomic<ULONG> g_nCountAfterRelease{99};

// Stalls on the first report of each cycle, while the rest of the burst waits
// behind it on the component's notification thread.
void TERN_CALLBACK StallOnFirstReport(FileMonEvent*) {
    g_bInCallback = true;
    if (g_nReports++ == 0) {
        ::SetEvent(g_hReported);
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
        ::SetEvent(g_hReported);
    }
}

bool LogContains(const std::string& strText) {
    for (const std::string& strLine : terntest::LogLines()) {
        if (strLine.find(strText) != std::string::npos) return true;
    }
    return false;
}

// Private memory of the Wine process, read on the Linux side (Wine reports
// none through GetProcessMemoryInfo); the least of a few samples.
unsigned long RssAnonKb() {
    unsigned long nLeast = ~0ul;
    for (int i = 0; i < 10; ++i, ::Sleep(30)) {
        HANDLE hFile = ::CreateFileA("\\\\?\\unix\\proc\\self\\status", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return 0;
        char szText[8192] = {};
        DWORD nRead = 0;
        ::ReadFile(hFile, szText, sizeof(szText) - 1, &nRead, nullptr);
        ::CloseHandle(hFile);
        const char* pszField = std::strstr(szText, "RssAnon:");
        nLeast = std::min(nLeast, pszField != nullptr ? std::strtoul(pszField + 8, nullptr, 10) : 0);
    }
    return nLeast;
}

std::string BurstFileName(int nCycle, int nFile) {
    return terntest::FixedDriveRoot() + "unload-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(nCycle) + "-" + std::to_string(nFile) + ".txt";
}

FileMonRuleList g_anyFile = {{"*", "any", "Add|Copy|Delete|Modify|Rename", "any-file"}};

// One host session: load, start both types, a burst of changes, the callback stalled on
// the first of them, the last Release (no stop first), and FreeLibrary right
// after it. Returns how long the last Release took.
DWORD RunStalledCycle(int nCycle, DWORD nStallMs) {
    g_nReports = 0;
    g_nStallMs = nStallMs;
    DWORD nReleaseMs = 0;
    {
        HostSession session;
        if (!session.IsOpen()) return 0;
        EXPECT_TRUE(session.Start(FILEMON_LOCAL, &g_anyFile, StallOnFirstReport));
        EXPECT_TRUE(session.Start(FILEMON_USB, &g_anyFile, StallOnFirstReport));
        for (int i = 0; i < kBurstFiles; ++i) EXPECT_TRUE(terntest::WriteTextFile(BurstFileName(nCycle, i), "burst"));
        EXPECT_EQ(::WaitForSingleObject(g_hReported, 5000), WAIT_OBJECT_0) << "no report in cycle " << nCycle;
        const DWORD nStart = ::GetTickCount();
        EXPECT_EQ(session.Close(false), 0u);
        nReleaseMs = ::GetTickCount() - nStart;
        EXPECT_FALSE(g_bInCallback.load()) << "Release returned while a report callback still ran";
        EXPECT_EQ(::FindWindowA("FileMonWindowClass", "FileMon"), nullptr);
        EXPECT_TRUE(session.Unload());
    }
    EXPECT_EQ(::GetModuleHandleA("TernFileMon.dll"), nullptr)
        << "a thread of the component still holds the library in cycle " << nCycle;
    for (int i = 0; i < kBurstFiles; ++i) ::DeleteFileA(BurstFileName(nCycle, i).c_str());
    return nReleaseMs;
}

class Unload : public ::testing::Test {
protected:
    void SetUp() override { g_hReported = ::CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    void TearDown() override { ::CloseHandle(g_hReported); }
};

}  // namespace

// Wine keeps a little of each load: the loader's records of a library loaded
// and freed again and heap pages that are reused but not given back. The
// allowance below is what 20 cycles may add on top of the first one; a cycle
// that left its thread, event or notification records behind (as one did, at
// 250 KB each) exceeds it at once.
TEST_F(Unload, TwentyStalledCyclesEndCleanlyAndLeaveNothingBehind) {
    constexpr unsigned long kRssAllowanceKb = 1024;
    // The first cycle starts what Wine starts once per process, with the
    // callback stalled for 5 s as a slow host's might be: Release waits for it.
    const DWORD nLongReleaseMs = RunStalledCycle(-1, 5000);
    const unsigned nHandles = terntest::CountOpenHandles(), nThreads = terntest::CountThreads();
    const unsigned long nRssKb = RssAnonKb();
    DWORD nLongestReleaseMs = 0;
    for (int nCycle = 0; nCycle < kCycles && !HasFailure(); ++nCycle) {
        nLongestReleaseMs = std::max(nLongestReleaseMs, RunStalledCycle(nCycle, 1500));
    }
    std::printf("last Release: %lu ms behind a 5 s stall, at most %lu ms behind 1.5 s stalls\n", nLongReleaseMs,
                nLongestReleaseMs);
    EXPECT_EQ(terntest::CountOpenHandles(), nHandles);
    EXPECT_EQ(terntest::CountThreads(), nThreads);
    EXPECT_LE(RssAnonKb(), nRssKb + kRssAllowanceKb) << "RssAnon before: " << nRssKb << " kB";
}

TEST_F(Unload, AccessViolationInACallbackIsLoggedAndTheNextReportArrives) {
    g_nReports = 0;
    HostSession session;
    ASSERT_TRUE(session.Start(FILEMON_LOCAL, &g_anyFile, FaultOnRequest));
    const std::string strPrefix = terntest::FixedDriveRoot() + "fault-" + std::to_string(::GetCurrentProcessId());
    g_bFaultOnNextReport = true;
    ASSERT_TRUE(terntest::WriteTextFile(strPrefix + "-first.txt", "1"));
    for (int i = 0; i < 50 && !LogContains("Notification dispatch fault 0xC0000005"); ++i) ::Sleep(100);
    EXPECT_TRUE(LogContains("Notification dispatch fault 0xC0000005"));
    ASSERT_TRUE(terntest::WriteTextFile(strPrefix + "-after-fault.txt", "2"));
    for (int i = 0; i < 50 && g_nReports.load() == 0; ++i) ::Sleep(100);
    EXPECT_GE(g_nReports.load(), 1) << "no report after the fault";
    ::DeleteFileA((strPrefix + "-first.txt").c_str());
    ::DeleteFileA((strPrefix + "-after-fault.txt").c_str());
}

// The last Release made by a report callback cannot wait for the thread it
// runs on: it returns, the rest of the queue is discarded, and the library
// stays loaded (the thread's own reference) until that thread has ended,
// even when the host frees it at once.
TEST_F(Unload, LastReleaseFromACallbackLeavesTheLibraryLoadedUntilItsThreadEnds) {
    HostSession session(false);
    ITernFileMon* pMonitor = session.CreateObject()("ITernFileMon", nullptr, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    FileMonFilterList filter = {FILEMON_LOCAL, &g_anyFile};
    g_pReleaseFromCallback = pMonitor;
    ASSERT_TRUE(pMonitor->StartMonitoring(ReleaseOnFirstReport, &filter));
    const std::string strFile =
        terntest::FixedDriveRoot() + "release-in-callback-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    ASSERT_TRUE(terntest::WriteTextFile(strFile, "1"));
    ASSERT_EQ(::WaitForSingleObject(g_hReported, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(g_nCountAfterRelease.load(), 0u);
    EXPECT_TRUE(session.Unload());
    bool bUnloaded = false;
    for (int i = 0; i < 200 && !bUnloaded; ++i) {
        bUnloaded = ::GetModuleHandleA("TernFileMon.dll") == nullptr;
        if (!bUnloaded) ::Sleep(50);
    }
    EXPECT_TRUE(bUnloaded) << "the notification thread did not end";
    ::DeleteFileA(strFile.c_str());
}
