// TernFileMon.dll called the way a host calls it (LoadLibrary, the exports,
// both interfaces slot by slot), and the component class beneath.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "HostSession.h"
#include "TestDrives.h"
#include "../../TernFileMon/component/TernFileMonObject.h"
#include "../../TernFileMon/filemon/FileMonitor.h"

using namespace terntest;

// The host's callbacks use the standard Windows convention (the callee pops
// its argument on the 32-bit build).
static_assert(std::is_same<FileMonCallback, void(WINAPI*)(FileMonEvent*)>::value,
              "report callbacks use the standard Windows calling convention");

namespace {

template <typename Result, typename... Args>
Result CallSlot(void* pInterface, int nSlot, Args... args) {
    using Fn = Result(STDMETHODCALLTYPE*)(void*, Args...);
    return reinterpret_cast<Fn>((*static_cast<void***>(pInterface))[nSlot])(pInterface, args...);
}

void TERN_CALLBACK IgnoreReport(FileMonEvent*) {}

}  // namespace

TEST(HostContract, ExportsAndCreateObject) {
    HostSession dll(false);
    auto pfnList = TernGetExport<PFN_GetInterfaceList>(dll.Module(), "GetInterfaceList");
    auto pfnQuery = TernGetExport<PFN_QuerySupportedCommand>(dll.Module(), "QuerySupportedCommand");
    ASSERT_TRUE(pfnList != nullptr && pfnQuery != nullptr);
    const TernInterfaceInfo* pInfo = nullptr;
    EXPECT_EQ(pfnList(&pInfo), 1);
    ASSERT_NE(pInfo, nullptr);
    EXPECT_STREQ(pInfo->pszInterfaceName, "ITernFileMon");
    EXPECT_STREQ(pInfo->pszVersion, "1.0.0.0");
    EXPECT_EQ(pInfo->pszReserved, nullptr);
    EXPECT_STREQ(pInfo->pszInterfaceId, "{93F1FC27-C450-4F40-9341-810A5F696B9D}");
    EXPECT_STREQ(pInfo->pszComponentName, "TernFileMon");
    EXPECT_STREQ(pInfo->pszComponentCode, "L00100157");
    EXPECT_STREQ(pInfo->pszBuildDate, "May 20 2020");
    EXPECT_EQ(pfnQuery("Start"), -1);

    for (const char* pszName : {"iternfilemon", "ITernFileMo", "ITernFileMonX", ""}) {
        ICommonControl* pControl = nullptr;
        EXPECT_EQ(dll.CreateObject()(pszName, &pControl, nullptr), nullptr) << pszName;
        EXPECT_EQ(pControl, nullptr) << pszName;
    }
    EXPECT_EQ(dll.CreateObject()(nullptr, nullptr, nullptr), nullptr);

    // Without ICommonControl out, only ITernFileMon is handed out.
    ITernFileMon* pMonitor = dll.CreateObject()("ITernFileMon", nullptr, nullptr);
    ASSERT_NE(pMonitor, nullptr);
    EXPECT_EQ(pMonitor->Release(), 0u);
}

TEST(HostContract, ReferenceCountLivesOnITernFileMonOnly) {
    HostSession dll(false);
    ICommonControl* pControl = nullptr;
    ITernFileMon* pMonitor = dll.CreateObject()("ITernFileMon", &pControl, nullptr);
    ASSERT_TRUE(pMonitor != nullptr && pControl != nullptr);
    for (int i = 0; i < 3; ++i) {  // ICommonControl's AddRef and Release change nothing
        EXPECT_EQ(CallSlot<ULONG>(pControl, 1), 1u);
        EXPECT_EQ(CallSlot<ULONG>(pControl, 2), 1u);
    }
    EXPECT_EQ(CallSlot<ULONG>(pMonitor, 1), 2u);
    EXPECT_EQ(CallSlot<ULONG>(pControl, 1), 2u);
    // QueryInterface hands back the interface it was called on, count unchanged.
    void* pOut = nullptr;
    const GUID anyId = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(CallSlot<HRESULT>(pMonitor, 0, &anyId, &pOut), 0);
    EXPECT_EQ(pOut, pMonitor);
    EXPECT_EQ(CallSlot<HRESULT>(pControl, 0, &IID_IUnknown, &pOut), 0);
    EXPECT_EQ(pOut, pControl);
    EXPECT_EQ(CallSlot<ULONG>(pMonitor, 2), 1u);
    EXPECT_EQ(CallSlot<ULONG>(pMonitor, 2), 0u);
}

TEST(HostContract, SlotsAnswerInTheirOrderAndLogThroughTheHostFunction) {
    HostSession session;
    ASSERT_TRUE(session.IsOpen());
    ICommonControl* pControl = session.Control();
    ITernFileMon* pMonitor = session.Monitor();
    EXPECT_EQ(CallSlot<int>(pControl, 5, 7, 8), 0);   // HandlePair
    EXPECT_EQ(CallSlot<int>(pControl, 9, 42), 0);     // SetValue2
    EXPECT_EQ(CallSlot<int>(pControl, 13, 43), 0);    // SetValue1
    EXPECT_EQ(CallSlot<int>(pControl, 6), 0);         // GetValue3: neither touched it
    EXPECT_EQ(pControl->GetTextById(5), "");
    EXPECT_EQ(pControl->GetText(), "");
    EXPECT_EQ(pControl->QuerySupportedCommand("Start"), -1);
    EXPECT_EQ(pControl->Initialize(std::string(100000, 'x')), 0);
    EXPECT_EQ(pControl->HandleText("anything"), 0);
    EXPECT_TRUE(LogCalls().empty());

    // The log function of the init record gets seven arguments.
    EXPECT_FALSE(CallSlot<bool>(pMonitor, 5, nullptr, nullptr));  // CheckEvent, no rules
    ASSERT_EQ(LogCalls().size(), 1u);
    const HostLogCall call = LogCalls()[0];
    EXPECT_EQ(call.strName, "TernFileMon");
    EXPECT_EQ(call.nCodeA, 48);
    EXPECT_EQ(call.nCodeB, 32);
    EXPECT_EQ(call.strText, "Not Init or Init Fail, Start Error");
    EXPECT_EQ(call.nLength, call.strText.size());
    EXPECT_EQ(call.nLevel, 1);
    EXPECT_EQ(call.nLast, 0);
    EXPECT_FALSE(CallSlot<bool>(pMonitor, 4, 3));  // StopMonitoring(3)
    ASSERT_EQ(LogCalls().size(), 2u);
    EXPECT_EQ(LogCalls()[1].strText, "unkonw filemonitor Type");
    EXPECT_EQ(LogCalls()[1].pName, call.pName) << "the component's own name object, every call";

    // Slots 10 and 11 register and unregister; a null function is refused.
    EXPECT_EQ(pControl->RegisterHostFunction(TERN_HOSTFN_LOG, nullptr, 0), -1);
    EXPECT_FALSE(pMonitor->StopMonitoring(0));
    EXPECT_EQ(LogCalls().size(), 3u);
    EXPECT_EQ(CallSlot<int>(pControl, 11, TERN_HOSTFN_LOG, 0), 0);
    EXPECT_FALSE(pMonitor->StopMonitoring(0));
    EXPECT_EQ(LogCalls().size(), 3u);
    EXPECT_EQ(CallSlot<int>(pControl, 10, TERN_HOSTFN_LOG, reinterpret_cast<void*>(RecordLog), 0), 0);
    EXPECT_FALSE(pMonitor->StopMonitoring(0));
    EXPECT_EQ(LogCalls().size(), 4u);
}

TEST(HostContract, MachineNameIsTheFirstLabelOfTheDnsName) {
    HostSession session;
    ASSERT_TRUE(session.IsOpen());
    char szDns[256] = {};
    DWORD nSize = sizeof(szDns);
    ASSERT_TRUE(::GetComputerNameExA(ComputerNamePhysicalDnsFullyQualified, szDns, &nSize));
    const std::string strDns = szDns;
    ASSERT_NE(strDns, "");
    EXPECT_EQ(session.Control()->GetMachineName(), strDns.substr(0, strDns.find('.')));
}

TEST(HostContract, StartStopAndCheckRefuseWhatTheyCannotServe) {
    HostSession session;
    ASSERT_TRUE(session.IsOpen());
    ITernFileMon* pMonitor = session.Monitor();
    FileMonRuleList rules;
    for (int nType : {0, 3, -1}) {
        FileMonFilterList filter = {nType, &rules};
        EXPECT_FALSE(pMonitor->StartMonitoring(IgnoreReport, &filter)) << nType;
        EXPECT_FALSE(pMonitor->StopMonitoring(nType)) << nType;
    }
    EXPECT_EQ(LogLines(), std::vector<std::string>(6, "unkonw filemonitor Type"));
    ClearReportsAndLog();
    EXPECT_FALSE(pMonitor->StartMonitoring(IgnoreReport, nullptr));
    EXPECT_EQ(LogLines().size(), 1u);

    // True means handed to the file monitor, which refuses a null callback itself.
    for (int nType : {FILEMON_USB, FILEMON_LOCAL}) {
        ClearReportsAndLog();
        FileMonFilterList filter = {nType, &rules};
        EXPECT_TRUE(pMonitor->StartMonitoring(nullptr, &filter)) << nType;
        EXPECT_TRUE(Logged("StartFileMonitor pFilterList or pFunction is NULL")) << nType;
        ClearReportsAndLog();
        EXPECT_TRUE(pMonitor->StopMonitoring(nType)) << nType;  // never started: passed on all the same
        EXPECT_TRUE(Logged("Enter Stop END")) << nType;
    }

    rules.push_back(FileMonRule{"a.txt", "", "Add", "tag"});
    ClearReportsAndLog();
    EXPECT_FALSE(pMonitor->CheckEvent(&rules, nullptr));
    FileMonEvent event;
    event.strPath = "D:\\a.txt";
    event.strAction = "Add";
    EXPECT_FALSE(pMonitor->CheckEvent(&rules, &event)) << "no root is recorded for FILEMON_USB";
    EXPECT_EQ(event.strRuleTag, "");
    EXPECT_TRUE(LogLines().empty());
    EXPECT_FALSE(pMonitor->AddDrive(nullptr));

    // Started for real, FILEMON_USB records the removable drive, whose files then match.
    ASSERT_TRUE(session.Start(FILEMON_USB, &rules));
    event.strPath = RemovableDriveRoot() + "a.txt";
    EXPECT_TRUE(pMonitor->CheckEvent(&rules, &event));
    EXPECT_EQ(event.strRuleTag, "tag");
}

TEST(ComponentObject, InitializeAgainAndTheLog) {
    tern::CTernFileMon object;
    EXPECT_TRUE(object.IsInitialized());
    HANDLE hThread = object.FileMonitor()->WindowThreadHandle();
    EXPECT_EQ(object.Initialize("again"), 0);
    EXPECT_EQ(object.FileMonitor()->WindowThreadHandle(), hThread) << "no second window thread";

    ClearReportsAndLog();
    ASSERT_EQ(object.RegisterHostFunction(TERN_HOSTFN_LOG, reinterpret_cast<TernHostFunction>(RecordLog), 0), 0);
    object.WriteLog(nullptr, 1);
    object.WriteLog("Open Dir D:\\ fail::5\n", 1);
    ASSERT_EQ(LogCalls().size(), 1u);
    EXPECT_EQ(LogCalls()[0].strText, "Open Dir D:\\ fail::5\n");
    EXPECT_EQ(LogCalls()[0].nLength, 21u);
}
