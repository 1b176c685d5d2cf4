// TernFileMon.dll called the way a host calls it: LoadLibrary, the three
// exports, and the two interfaces slot by slot through their tables.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "DebugOutputCapture.h"
#include "HandleCount.h"
#include "TernFileMon.h"

namespace {

struct LogCall {
    const std::string* pName;
    std::string strName;
    int nCodeA, nCodeB;
    std::string strText;
    unsigned int nLength;
    int nLevel, nLast;
};
std::vector<LogCall> g_logCalls;

int TERN_CALLBACK RecordLog(const std::string* pName, int nCodeA, int nCodeB, const char* pszText,
                            unsigned int nLength, int nLevel, int nLast) {
    g_logCalls.push_back({pName, pName != nullptr ? *pName : std::string(), nCodeA, nCodeB,
                          pszText != nullptr ? std::string(pszText) : std::string(), nLength,
                          nLevel, nLast});
    return 0;
}

int TERN_CALLBACK OtherLog(const std::string*, int, int, const char*, unsigned int, int, int) {
    return 0;
}

// Raw access to an interface's table of operations.
void* Slot(void* pInterface, int nSlot) { return (*static_cast<void***>(pInterface))[nSlot]; }

template <typename Result, typename... Args>
Result CallSlot(void* pInterface, int nSlot, Args... args) {
    using Fn = Result(STDMETHODCALLTYPE*)(void*, Args...);
    return reinterpret_cast<Fn>(Slot(pInterface, nSlot))(pInterface, args...);
}

unsigned CountThreadsOfThisProcess() {
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

BOOL CALLBACK CountIfOfThisProcess(HWND hWnd, LPARAM lParam) {
    DWORD nProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &nProcessId);
    if (nProcessId == ::GetCurrentProcessId()) ++*reinterpret_cast<unsigned*>(lParam);
    return TRUE;
}

// Top-level and message-only windows of this process.
unsigned CountWindowsOfThisProcess() {
    unsigned nCount = 0;
    ::EnumWindows(CountIfOfThisProcess, reinterpret_cast<LPARAM>(&nCount));
    for (HWND hWnd = ::FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); hWnd != nullptr;
         hWnd = ::FindWindowExA(HWND_MESSAGE, hWnd, nullptr, nullptr)) {
        CountIfOfThisProcess(hWnd, reinterpret_cast<LPARAM>(&nCount));
    }
    return nCount;
}

// Threads of the component end a moment after its release: the count once it
// has not changed for 200 ms (at most 3 s).
unsigned SettledThreadCount() {
    unsigned nCount = CountThreadsOfThisProcess();
    for (int nStable = 0, i = 0; nStable < 4 && i < 60; ++i) {
        ::Sleep(50);
        const unsigned nNow = CountThreadsOfThisProcess();
        nStable = nNow == nCount ? nStable + 1 : 0;
        nCount = nNow;
    }
    return nCount;
}

// The hidden window appears on the component's own thread, a moment after creation.
HWND WaitForMonitorWindow() {
    for (int i = 0; i < 200; ++i) {
        if (HWND hWnd = ::FindWindowA("FileMonWindowClass", "FileMon")) return hWnd;
        ::Sleep(10);
    }
    return nullptr;
}

class HostContract : public ::testing::Test {
protected:
    void SetUp() override {
        g_logCalls.clear();
        m_hModule = ::LoadLibraryA("TernFileMon.dll");
        ASSERT_NE(m_hModule, nullptr) << "error " << ::GetLastError();
        m_pfnCreateObject = TernGetExport<PFN_CreateObject>(m_hModule, "CreateObject");
        m_pfnGetInterfaceList = TernGetExport<PFN_GetInterfaceList>(m_hModule, "GetInterfaceList");
        m_pfnQuerySupportedCommand =
            TernGetExport<PFN_QuerySupportedCommand>(m_hModule, "QuerySupportedCommand");
        ASSERT_NE(m_pfnCreateObject, nullptr);
        ASSERT_NE(m_pfnGetInterfaceList, nullptr);
        ASSERT_NE(m_pfnQuerySupportedCommand, nullptr);
    }
    void TearDown() override {
        if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
    }

    HMODULE m_hModule = nullptr;
    PFN_CreateObject m_pfnCreateObject = nullptr;
    PFN_GetInterfaceList m_pfnGetInterfaceList = nullptr;
    PFN_QuerySupportedCommand m_pfnQuerySupportedCommand = nullptr;
};

}  // namespace

TEST_F(HostContract, ExportsDescribeTheInterfaceAndRefuseEveryCommand) {
    const TernInterfaceInfo* pInfo = nullptr;
    EXPECT_EQ(m_pfnGetInterfaceList(&pInfo), 1);
    ASSERT_NE(pInfo, nullptr);
    EXPECT_STREQ(pInfo->pszInterfaceName, "ITernFileMon");
    EXPECT_STREQ(pInfo->pszVersion, "1.0.0.0");
    EXPECT_EQ(pInfo->pszReserved, nullptr);
    EXPECT_STREQ(pInfo->pszInterfaceId, "{93F1FC27-C450-4F40-9341-810A5F696B9D}");
    EXPECT_STREQ(pInfo->pszComponentName, "TernFileMon");
    EXPECT_STREQ(pInfo->pszComponentCode, "L00100157");
    EXPECT_STREQ(pInfo->pszBuildDate, "May 20 2020");
    EXPECT_EQ(sizeof(TernInterfaceInfo), 7 * sizeof(void*));

    EXPECT_EQ(m_pfnQuerySupportedCommand("Start"), -1);
    EXPECT_EQ(m_pfnQuerySupportedCommand(""), -1);
}

TEST_F(HostContract, CreateObjectAcceptsOnlyTheExactInterfaceName) {
    for (const char* pszName : {"iternfilemon", "ITERNFILEMON", "ITernFileMo", "ITernFileMonX", ""}) {
        ICommonControl* pControl = nullptr;
        EXPECT_EQ(m_pfnCreateObject(pszName, &pControl, nullptr), nullptr) << pszName;
        EXPECT_EQ(pControl, nullptr) << pszName;
    }
    EXPECT_EQ(m_pfnCreateObject(nullptr, nullptr, nullptr), nullptr);
}

TEST_F(HostContract, ReferenceCountLivesOnITernFileMonOnly) {
    ICommonControl* pControl = nullptr;
    ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", &pControl, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    ASSERT_NE(pControl, nullptr);

    // ICommonControl's AddRef and Release report the count and change nothing.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(CallSlot<ULONG>(pControl, 1), 1u);
        EXPECT_EQ(CallSlot<ULONG>(pControl, 2), 1u);
    }
    EXPECT_EQ(CallSlot<ULONG>(pMonitor, 1), 2u);  // AddRef
    EXPECT_EQ(CallSlot<ULONG>(pControl, 1), 2u);

    // QueryInterface hands back the interface it was called on, count unchanged.
    void* pOut = nullptr;
    const GUID anyId = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(CallSlot<HRESULT>(pMonitor, 0, &anyId, &pOut), 0);
    EXPECT_EQ(pOut, pMonitor);
    EXPECT_EQ(CallSlot<HRESULT>(pControl, 0, &IID_IUnknown, &pOut), 0);
    EXPECT_EQ(pOut, pControl);
    EXPECT_EQ(CallSlot<ULONG>(pControl, 1), 2u);

    terntest::DebugOutputCapture capture;
    EXPECT_EQ(CallSlot<ULONG>(pMonitor, 2), 1u);  // Release
    EXPECT_EQ(capture.Count("A CTernFileMon object was deleted!"), 0u);
    EXPECT_EQ(CallSlot<ULONG>(pMonitor, 2), 0u);
    const std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(capture.Count("A CTernFileMon object was deleted!"), 1u);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "A CTernFileMon object was deleted!\n"),
              lines.end());
}

TEST_F(HostContract, CommonControlSlotsAnswerInTheirOrder) {
    ICommonControl* pControl = nullptr;
    ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", &pControl, nullptr);
    ASSERT_NE(pMonitor, nullptr);

    EXPECT_EQ(CallSlot<int>(pControl, 5, 7, 8), 0);       // HandlePair
    EXPECT_EQ(CallSlot<int>(pControl, 6), 0);             // GetValue3
    EXPECT_EQ(CallSlot<int>(pControl, 9, 42), 0);         // SetValue2
    EXPECT_EQ(CallSlot<int>(pControl, 13, 43), 0);        // SetValue1
    EXPECT_EQ(CallSlot<int>(pControl, 6), 0);             // neither touches value 3
    EXPECT_EQ(pControl->GetTextById(5), "");              // slot 7
    EXPECT_EQ(pControl->GetText(), "");                   // slot 8
    EXPECT_EQ(pControl->QuerySupportedCommand("Start"), -1);  // slot 12
    EXPECT_EQ(pControl->Initialize("anything"), 0);           // slot 3
    EXPECT_EQ(pControl->HandleText("anything"), 0);           // slot 4

    // Slots 10 and 11: register and unregister the log function.
    EXPECT_EQ(CallSlot<int>(pControl, 10, TERN_HOSTFN_LOG, reinterpret_cast<void*>(RecordLog), 0), 0);
    EXPECT_FALSE(pMonitor->StopMonitoring(0));  // slot 4 of ITernFileMon logs its refusal
    ASSERT_EQ(g_logCalls.size(), 1u);
    EXPECT_EQ(g_logCalls[0].strName, "TernFileMon");
    EXPECT_EQ(CallSlot<int>(pControl, 11, TERN_HOSTFN_LOG, 0), 0);
    EXPECT_FALSE(pMonitor->StopMonitoring(0));
    EXPECT_EQ(g_logCalls.size(), 1u);

    // ITernFileMon slots 3 to 6 through the raw table.
    FileMonFilterList unknownType = {3, nullptr};
    EXPECT_FALSE(CallSlot<bool>(pMonitor, 3, nullptr, &unknownType));  // StartMonitoring
    EXPECT_FALSE(CallSlot<bool>(pMonitor, 4, 0));                     // StopMonitoring(0)
    EXPECT_FALSE(CallSlot<bool>(pMonitor, 5, nullptr, nullptr));      // CheckEvent, no rules

    EXPECT_EQ(pMonitor->Release(), 0u);
}

TEST_F(HostContract, LogFunctionReceivesSevenArgumentsFromTheInitRecord) {
    ICommonControl* pControl = nullptr;
    TernInitRecord init = {RecordLog, 77};
    ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", &pControl, &init);
    ASSERT_NE(pMonitor, nullptr);
    g_logCalls.clear();

    EXPECT_FALSE(pMonitor->CheckEvent(nullptr, nullptr));
    ASSERT_EQ(g_logCalls.size(), 1u);
    const LogCall call = g_logCalls[0];
    EXPECT_EQ(call.strName, "TernFileMon");
    EXPECT_EQ(call.nCodeA, 48);
    EXPECT_EQ(call.nCodeB, 32);
    EXPECT_EQ(call.strText, "Not Init or Init Fail, Start Error");
    EXPECT_EQ(call.nLength, call.strText.size());
    EXPECT_EQ(call.nLevel, 1);
    EXPECT_EQ(call.nLast, 0);

    // The name argument is the component's own name object, the same every call.
    EXPECT_FALSE(pMonitor->StopMonitoring(3));
    ASSERT_EQ(g_logCalls.size(), 2u);
    EXPECT_EQ(g_logCalls[1].strText, "unkonw filemonitor Type");
    EXPECT_EQ(g_logCalls[1].pName, call.pName);

    // A null function is refused and the previous one stays; unknown ids store nothing.
    EXPECT_EQ(pControl->RegisterHostFunction(TERN_HOSTFN_LOG, nullptr, 0), -1);
    EXPECT_EQ(pControl->RegisterHostFunction(0xA00, reinterpret_cast<TernHostFunction>(OtherLog), 0), 0);
    EXPECT_FALSE(pMonitor->StopMonitoring(3));
    EXPECT_EQ(g_logCalls.size(), 3u);

    EXPECT_EQ(pMonitor->Release(), 0u);
}

TEST_F(HostContract, WithoutInitRecordNothingIsLoggedUntilAFunctionIsRegistered) {
    ICommonControl* pControl = nullptr;
    ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", &pControl, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    g_logCalls.clear();

    EXPECT_FALSE(pMonitor->StopMonitoring(3));
    EXPECT_TRUE(g_logCalls.empty());

    EXPECT_EQ(pControl->RegisterHostFunction(TERN_HOSTFN_LOG, reinterpret_cast<TernHostFunction>(RecordLog), 0), 0);
    EXPECT_FALSE(pMonitor->StopMonitoring(3));
    ASSERT_EQ(g_logCalls.size(), 1u);
    EXPECT_EQ(g_logCalls[0].strName, "TernFileMon");  // registering names the component
    EXPECT_EQ(pMonitor->Release(), 0u);
}

TEST_F(HostContract, WithoutCommonControlOutOnlyITernFileMonIsHandedOut) {
    ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", nullptr, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    EXPECT_EQ(pMonitor->AddRef(), 2u);
    EXPECT_EQ(pMonitor->Release(), 1u);
    EXPECT_EQ(pMonitor->Release(), 0u);
}

TEST_F(HostContract, MachineNameIsTheFirstLabelOfTheDnsName) {
    ICommonControl* pControl = nullptr;
    ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", &pControl, nullptr);
    ASSERT_NE(pMonitor, nullptr);

    WCHAR szDns[1024] = {};
    DWORD nSize = 1024;
    ASSERT_TRUE(::GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, szDns, &nSize));
    char szDnsAnsi[256] = {};
    ::WideCharToMultiByte(CP_ACP, 0, szDns, -1, szDnsAnsi, sizeof(szDnsAnsi), nullptr, nullptr);
    std::string strExpected = szDnsAnsi;
    strExpected = strExpected.substr(0, strExpected.find('.'));
    ASSERT_FALSE(strExpected.empty());

    EXPECT_EQ(pControl->GetMachineName(), strExpected);
    EXPECT_EQ(pMonitor->Release(), 0u);
}

void TERN_CALLBACK IgnoreReport(FileMonEvent*) {}

// Both monitor types started: watches on every drive, their threads and the
// device notifications of the hidden window.
void StartBothTypes(ITernFileMon* pMonitor, FileMonRuleList* pRules) {
    FileMonFilterList usb = {FILEMON_USB, pRules};
    FileMonFilterList local = {FILEMON_LOCAL, pRules};
    EXPECT_TRUE(pMonitor->StartMonitoring(IgnoreReport, &usb));
    EXPECT_TRUE(pMonitor->StartMonitoring(IgnoreReport, &local));
}

TEST_F(HostContract, TwentyObjectsCreatedAndReleasedLeaveNoThreadWindowOrHandleBehind) {
    FileMonRuleList rules(1);
    // Let a first object start whatever the system starts once per process.
    ITernFileMon* pFirst = m_pfnCreateObject("ITernFileMon", nullptr, nullptr);
    ASSERT_NE(pFirst, nullptr);
    EXPECT_NE(WaitForMonitorWindow(), nullptr);
    StartBothTypes(pFirst, &rules);
    pFirst->Release();
    const unsigned nThreadsBefore = SettledThreadCount();
    const unsigned nWindowsBefore = CountWindowsOfThisProcess();
    const unsigned nHandlesBefore = terntest::CountOpenHandles();

    for (int i = 0; i < 20; ++i) {
        ITernFileMon* pMonitor = m_pfnCreateObject("ITernFileMon", nullptr, nullptr);
        ASSERT_NE(pMonitor, nullptr);
        EXPECT_NE(WaitForMonitorWindow(), nullptr);
        if (i % 2 == 0) StartBothTypes(pMonitor, &rules);
        EXPECT_EQ(pMonitor->Release(), 0u);
        EXPECT_EQ(::FindWindowA("FileMonWindowClass", "FileMon"), nullptr);
    }
    EXPECT_EQ(SettledThreadCount(), nThreadsBefore);
    EXPECT_EQ(CountWindowsOfThisProcess(), nWindowsBefore);
    EXPECT_EQ(terntest::CountOpenHandles(), nHandlesBefore);
}
