// TernFileMon.dll loaded, used and unloaded the way a host does it, with the
// host's report callback misbehaving: stalled while reports are still in
// flight, or faulting outright. The promises under test: after the last
// Release returns no code of the library runs (so an immediate FreeLibrary is
// safe), a fault in a callback costs one report, and a load/unload cycle
// leaves nothing behind.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "HandleCount.h"
#include "TernFileMon.h"
#include "TestDrives.h"
#include "TestFiles.h"

namespace {

constexpr DWORD kStallMs = 1500;
// The first cycle stalls as long as a slow host's callback might.
constexpr DWORD kLongStallMs = 5000;
constexpr DWORD kReportWaitMs = 5000;
constexpr int kCycles = 20;
constexpr int kBurstFiles = 40;

// What the callbacks saw, shared with the test body.
std::atomic<int> g_nReports{0};
std::atomic<bool> g_bInCallback{false};
std::atomic<DWORD> g_nStallMs{kStallMs};
std::atomic<bool> g_bFaultOnNextReport{false};
HANDLE g_hReported = nullptr;  // auto-reset: signalled by every report
std::mutex g_logMutex;
std::vector<std::string> g_logLines;

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
    if (g_bFaultOnNextReport.exchange(false)) {
        *static_cast<volatile int*>(nullptr) = 1;  // a real access violation
    }
    if (pEvent->strPath.find("after-fault") != std::string::npos) ++g_nReports;
    ::SetEvent(g_hReported);
}

// Makes the last Release from inside the report callback, on the component's
// own notification thread, and says when that Release has returned.
ITernFileMon* g_pReleaseFromCallback = nullptr;
std::atomic<ULONG> g_nCountAfterRelease{99};
void TERN_CALLBACK ReleaseOnFirstReport(FileMonEvent*) {
    if (ITernFileMon* pMonitor = std::exchange(g_pReleaseFromCallback, nullptr)) {
        g_nCountAfterRelease = pMonitor->Release();
        ::SetEvent(g_hReported);
    }
}

int TERN_CALLBACK RecordLog(const std::string*, int, int, const char* pszText, unsigned int nLength,
                            int, int) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines.emplace_back(pszText, nLength);
    return 0;
}

bool LogContains(const std::string& strText) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return std::any_of(g_logLines.begin(), g_logLines.end(), [&](const std::string& strLine) {
        return strLine.find(strText) != std::string::npos;
    });
}

unsigned CountThreadsOnce() {
    HANDLE hSnapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    unsigned nCount = 0;
    for (BOOL bMore = ::Thread32First(hSnapshot, &entry); bMore;
         bMore = ::Thread32Next(hSnapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++nCount;
    }
    ::CloseHandle(hSnapshot);
    return nCount;
}

// Private memory of the Wine process, read on the Linux side (Wine reports
// none through GetProcessMemoryInfo).
unsigned long RssAnonKbOnce() {
    HANDLE hFile = ::CreateFileA("\\\\?\\unix\\proc\\self\\status", GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return 0;
    char szText[8192] = {};
    DWORD nRead = 0;
    ::ReadFile(hFile, szText, sizeof(szText) - 1, &nRead, nullptr);
    ::CloseHandle(hFile);
    const char* pszField = std::strstr(szText, "RssAnon:");
    return pszField != nullptr ? std::strtoul(pszField + 8, nullptr, 10) : 0;
}

// The least of several samples: a thread, handle or page that something in
// the background holds for a moment (on a busy machine, for longer) does not
// count, while whatever stays does.
template <typename Sample>
auto LeastOf(Sample sample) -> decltype(sample()) {
    auto least = sample();
    for (int i = 0; i < 9; ++i) {
        ::Sleep(30);
        least = std::min(least, sample());
    }
    return least;
}

struct Footprint {
    unsigned nHandles;
    unsigned nThreads;
    unsigned long nRssAnonKb;
};

Footprint TakeFootprint() {
    return {terntest::CountOpenHandles(), LeastOf(CountThreadsOnce), LeastOf(RssAnonKbOnce)};
}

std::string BurstFileName(int nCycle, int nFile) {
    return terntest::FixedDriveRoot() + "unload-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(nCycle) + "-" + std::to_string(nFile) + ".txt";
}

// One host session: load, start, a burst of changes, the callback stalled
// on the first of them, the last Release, and FreeLibrary right after it.
// Returns how long the last Release took.
DWORD RunStalledCycle(int nCycle, DWORD nStallMs = kStallMs) {
    g_nReports = 0;
    g_nStallMs = nStallMs;
    DWORD nReleaseMs = 0;
    HMODULE hModule = ::LoadLibraryA("TernFileMon.dll");
    if (hModule == nullptr) {
        ADD_FAILURE() << "error " << ::GetLastError();
        return 0;
    }
    auto pfnCreate = TernGetExport<PFN_CreateObject>(hModule, "CreateObject");
    TernInitRecord init = {RecordLog, 0};
    ITernFileMon* pMonitor = pfnCreate != nullptr ? pfnCreate("ITernFileMon", nullptr, &init) : nullptr;
    if (pMonitor == nullptr) {
        ADD_FAILURE() << "no object";
        ::FreeLibrary(hModule);
        return 0;
    }
    FileMonRuleList rules = {{"*", "any", "Add|Copy|Delete|Modify|Rename", "any-file"}};
    FileMonFilterList filter = {FILEMON_LOCAL, &rules};
    EXPECT_TRUE(pMonitor->StartMonitoring(StallOnFirstReport, &filter));

    for (int i = 0; i < kBurstFiles; ++i) {
        EXPECT_TRUE(terntest::WriteTextFile(BurstFileName(nCycle, i), "burst"));
    }
    EXPECT_EQ(::WaitForSingleObject(g_hReported, kReportWaitMs), WAIT_OBJECT_0)
        << "no report in cycle " << nCycle;

    const DWORD nStart = ::GetTickCount();
    EXPECT_EQ(pMonitor->Release(), 0u);
    nReleaseMs = ::GetTickCount() - nStart;
    EXPECT_FALSE(g_bInCallback.load()) << "Release returned while a report callback still ran";
    EXPECT_TRUE(::FreeLibrary(hModule));
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
    // callback stalled for 5 s: Release waits for it.
    const DWORD nLongReleaseMs = RunStalledCycle(-1, kLongStallMs);
    const Footprint before = TakeFootprint();
    DWORD nLongestReleaseMs = 0;
    for (int nCycle = 0; nCycle < kCycles && !HasFailure(); ++nCycle) {
        nLongestReleaseMs = std::max(nLongestReleaseMs, RunStalledCycle(nCycle));
    }
    const Footprint after = TakeFootprint();
    std::printf("last Release: %lu ms behind a 5 s stall, at most %lu ms behind 1.5 s stalls\n",
                nLongReleaseMs, nLongestReleaseMs);

    EXPECT_EQ(after.nHandles, before.nHandles);
    EXPECT_EQ(after.nThreads, before.nThreads);
    EXPECT_LE(after.nRssAnonKb, before.nRssAnonKb + kRssAllowanceKb)
        << "RssAnon " << before.nRssAnonKb << " kB before, " << after.nRssAnonKb << " kB after";
    std::printf("unload cycles: handles %u -> %u, threads %u -> %u, RssAnon %lu -> %lu kB\n",
                before.nHandles, after.nHandles, before.nThreads, after.nThreads,
                before.nRssAnonKb, after.nRssAnonKb);
}

TEST_F(Unload, AccessViolationInACallbackIsLoggedAndTheNextReportArrives) {
    g_nReports = 0;
    HMODULE hModule = ::LoadLibraryA("TernFileMon.dll");
    ASSERT_NE(hModule, nullptr);
    auto pfnCreate = TernGetExport<PFN_CreateObject>(hModule, "CreateObject");
    TernInitRecord init = {RecordLog, 0};
    ITernFileMon* pMonitor = pfnCreate("ITernFileMon", nullptr, &init);
    ASSERT_NE(pMonitor, nullptr);
    FileMonRuleList rules = {{"*", "any", "Add|Copy|Delete|Modify|Rename", "any-file"}};
    FileMonFilterList filter = {FILEMON_LOCAL, &rules};
    ASSERT_TRUE(pMonitor->StartMonitoring(FaultOnRequest, &filter));

    const std::string strPrefix =
        terntest::FixedDriveRoot() + "fault-" + std::to_string(::GetCurrentProcessId());
    g_bFaultOnNextReport = true;
    ASSERT_TRUE(terntest::WriteTextFile(strPrefix + "-first.txt", "1"));
    for (int i = 0; i < 50 && !LogContains("Notification dispatch fault 0xC0000005"); ++i) {
        ::Sleep(100);
    }
    EXPECT_TRUE(LogContains("Notification dispatch fault 0xC0000005"));
    ASSERT_TRUE(terntest::WriteTextFile(strPrefix + "-after-fault.txt", "2"));
    for (int i = 0; i < 50 && g_nReports.load() == 0; ++i) ::Sleep(100);
    EXPECT_GE(g_nReports.load(), 1) << "no report after the fault";

    EXPECT_EQ(pMonitor->Release(), 0u);
    EXPECT_TRUE(::FreeLibrary(hModule));
    ::DeleteFileA((strPrefix + "-first.txt").c_str());
    ::DeleteFileA((strPrefix + "-after-fault.txt").c_str());
}

// The last Release made by a report callback cannot wait for the thread it
// runs on: it returns, the rest of the queue is discarded, and the library
// stays loaded (the thread's own reference) until that thread has ended,
// even when the host frees it at once.
TEST_F(Unload, LastReleaseFromACallbackLeavesTheLibraryLoadedUntilItsThreadEnds) {
    HMODULE hModule = ::LoadLibraryA("TernFileMon.dll");
    ASSERT_NE(hModule, nullptr);
    auto pfnCreate = TernGetExport<PFN_CreateObject>(hModule, "CreateObject");
    ITernFileMon* pMonitor = pfnCreate("ITernFileMon", nullptr, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    FileMonRuleList rules = {{"*", "any", "Add|Copy|Delete|Modify|Rename", "any-file"}};
    FileMonFilterList filter = {FILEMON_LOCAL, &rules};
    g_pReleaseFromCallback = pMonitor;
    ASSERT_TRUE(pMonitor->StartMonitoring(ReleaseOnFirstReport, &filter));

    const std::string strFile = terntest::FixedDriveRoot() + "release-in-callback-" +
                                std::to_string(::GetCurrentProcessId()) + ".txt";
    ASSERT_TRUE(terntest::WriteTextFile(strFile, "1"));
    ASSERT_EQ(::WaitForSingleObject(g_hReported, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(g_nCountAfterRelease.load(), 0u);
    EXPECT_TRUE(::FreeLibrary(hModule));
    bool bUnloaded = false;
    for (int i = 0; i < 200 && !bUnloaded; ++i) {
        bUnloaded = ::GetModuleHandleA("TernFileMon.dll") == nullptr;
        if (!bUnloaded) ::Sleep(50);
    }
    EXPECT_TRUE(bUnloaded) << "the notification thread did not end";
    ::DeleteFileA(strFile.c_str());
}
