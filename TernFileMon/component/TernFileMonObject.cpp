#include "TernFileMonObject.h"

#include <cstddef>
#include <exception>
#include <string>

#include "../common/DebugOutput.h"
#include "../DirectoryChanges/DelayedNotifier.h"
#include "../DirectoryChanges/LossReporter.h"
#include "../filemon/FileMonitor.h"
#include "../policy/PolicyHandler.h"

namespace tern {

// The nested interface objects find their owner from their own address. The
// offsets are taken on a non-standard-layout class, which every compiler this
// component is built with supports.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
CTernFileMon* CTernFileMon::XCommonControl::Owner() {
    return reinterpret_cast<CTernFileMon*>(reinterpret_cast<char*>(this) -
                                           offsetof(CTernFileMon, m_xCommonControl));
}

CTernFileMon* CTernFileMon::XTernFileMon::Owner() {
    return reinterpret_cast<CTernFileMon*>(reinterpret_cast<char*>(this) -
                                           offsetof(CTernFileMon, m_xTernFileMon));
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// ---------------------------------------------------------------------------
// The object
// ---------------------------------------------------------------------------

namespace {

// An interface slot lets no exception out to the host: it logs what it
// caught and answers with the slot's failure value.
template <typename Result, typename Call>
Result GuardSlot(CTernFileMon* pOwner, const char* pszSlot, Result failed, Call call) {
    try {
        return call();
    } catch (const std::exception& e) {
        pOwner->WriteLog((std::string(pszSlot) + " exception: " + e.what()).c_str(), 1);
    } catch (...) {
        pOwner->WriteLog((std::string(pszSlot) + " exception").c_str(), 1);
    }
    return failed;
}

// The engine's lines for the host (lost changes, faults stopped on the
// notification thread) go to its log.
void WriteEngineLine(const char* pszText, void* pContext) {
    static_cast<CTernFileMon*>(pContext)->WriteLog(pszText, 1);
}

}  // namespace

// The file monitor logs through this object's component log and attaches
// each root with a policy handler of its own.
CTernFileMon::CTernFileMon() {
    m_pMonintorFile = new CFileMonitor([this](const char* pszText) { WriteLog(pszText, 1); },
                                       &CDirectoryChangeHandler_Policy::Create);
    CLossReporter::Instance().SetLogSink(&WriteEngineLine, this);
    m_bInit = m_pMonintorFile->StartWindowThread();
    SetDispatchFaultReporter(&WriteEngineLine, this);
}

// The last Release ends here; when it returns, no code of this library runs
// any more, so the host may unload it:
// 1. The file monitor's destruction ends the window thread, stops every watch,
//    ends the worker and waits until every notification of those watches has
//    been delivered (CDirectoryChangeWatcher::kNotificationDrainMs at most;
//    after that, what is still queued is discarded unread).
// 2. The notification thread, told to end when its last queued notification
//    went, is waited for (CDelayedNotificationThread::kThreadEndWaitMs).
// When a bound runs out, or when this runs on the notification thread itself
// (a report callback made the last Release), the notification thread is left
// to finish its current call by itself: it holds a reference to this library
// and leaves through FreeLibraryAndExitThread, so the host's FreeLibrary does
// not unmap the code it still runs.
CTernFileMon::~CTernFileMon() {
    try {
        // Ends the window thread within its bound (or leaves the monitor to
        // it) and stops every watch.
        CFileMonitor::Dispose(m_pMonintorFile);
    } catch (...) {
        // The rest of the destruction goes on whatever the file monitor raised.
        WriteLog("File monitor destruction exception", 1);
    }
    m_pMonintorFile = nullptr;
    CDelayedNotificationThread::WaitForEnd(CDelayedNotificationThread::kThreadEndWaitMs);
    // After the watches and their deliveries: their ends write what the loss
    // rate limit still held.
    CLossReporter::Instance().ClearLogSink(this);
    ClearDispatchFaultReporter(this);
}

ITernFileMon* CTernFileMon::GetComponentInterface() {
    m_xTernFileMon.AddRef();
    return &m_xTernFileMon;
}

ICommonControl* CTernFileMon::GetCommonControl() {
    m_xCommonControl.AddRef();
    return &m_xCommonControl;
}

int CTernFileMon::RegisterHostFunction(int nId, TernHostFunction pFunction, int nExtra) {
    m_strName = "TernFileMon";
    return CTernComponent::RegisterHostFunction(nId, pFunction, nExtra);
}

int CTernFileMon::Initialize(std::string /*strText*/) {
    if (!m_bInit && m_pMonintorFile != nullptr && m_pMonintorFile->StartWindowThread()) {
        m_bInit = true;
    }
    return 0;
}

int CTernFileMon::HandleText(std::string /*strText*/) { return 0; }

int CTernFileMon::HandlePair(int /*nFirst*/, int /*nSecond*/) { return 0; }

std::string CTernFileMon::GetTextById(int /*nId*/) { return std::string(); }

bool CTernFileMon::StartMonitoring(FileMonCallback pFunction, FileMonFilterList* pFilterList) {
    if (!m_bInit) {
        WriteLog("Not Init or Init Fail, Start Error", 1);
        return false;
    }
    if (pFilterList == nullptr) {
        WriteLog("StartMonitoring pFilterList is NULL", 1);
        return false;
    }
    const int nType = pFilterList->nMonitorType;
    if (m_pMonintorFile == nullptr) {
        WriteLog("m_pMonintorFile NULL, Start Error", 1);
        return false;
    }
    if (nType != FILEMON_LOCAL && nType != FILEMON_USB) {
        WriteLog("unkonw filemonitor Type", 1);
        return false;
    }
    m_pMonintorFile->StartFileMonitor(pFunction, pFilterList, nType);
    return true;
}

bool CTernFileMon::CheckEvent(FileMonRuleList* pRuleList, FileMonEvent* pEvent) {
    if (m_bInit && pRuleList != nullptr && m_pMonintorFile != nullptr) {
        return m_pMonintorFile->MatchEvent(pRuleList, pEvent);
    }
    WriteLog("Not Init or Init Fail, Start Error", 1);
    return false;
}

bool CTernFileMon::AddDrive(const char* pDriveLetter) {
    // No letter to read: refused before the file monitor would read it.
    if (m_pMonintorFile == nullptr || pDriveLetter == nullptr) return false;
    return m_pMonintorFile->AddDriveRoot(pDriveLetter);
}

bool CTernFileMon::StopMonitoring(int nMonitorType) {
    if (!m_bInit) {
        WriteLog("Not Init or Init Fail, stop Error", 1);
        return true;
    }
    if (m_pMonintorFile == nullptr) {
        WriteLog("m_pMonintorFile NULL, stop Error", 1);
        return false;
    }
    if (nMonitorType != FILEMON_LOCAL && nMonitorType != FILEMON_USB) {
        WriteLog("unkonw filemonitor Type", 1);
        return false;
    }
    m_pMonintorFile->StopFileMonitor(nMonitorType);
    return true;
}

// ---------------------------------------------------------------------------
// ICommonControl: AddRef and Release report the count and change nothing.
// ---------------------------------------------------------------------------

HRESULT CTernFileMon::XCommonControl::QueryInterface(REFIID /*riid*/, void** ppvObject) {
    if (ppvObject != nullptr) *ppvObject = static_cast<ICommonControl*>(this);
    return 0;
}
ULONG CTernFileMon::XCommonControl::AddRef() { return static_cast<ULONG>(Owner()->m_nRefCount); }
ULONG CTernFileMon::XCommonControl::Release() { return static_cast<ULONG>(Owner()->m_nRefCount); }
int CTernFileMon::XCommonControl::Initialize(std::string strText) {
    return GuardSlot(Owner(), "Initialize", 0, [&] { return Owner()->Initialize(std::move(strText)); });
}
int CTernFileMon::XCommonControl::HandleText(std::string strText) {
    return Owner()->HandleText(std::move(strText));
}
int CTernFileMon::XCommonControl::HandlePair(int nFirst, int nSecond) {
    return Owner()->HandlePair(nFirst, nSecond);
}
int CTernFileMon::XCommonControl::GetValue3() { return Owner()->GetValue3(); }
std::string CTernFileMon::XCommonControl::GetTextById(int nId) { return Owner()->GetTextById(nId); }
std::string CTernFileMon::XCommonControl::GetText() { return Owner()->GetText(); }
int CTernFileMon::XCommonControl::SetValue2(int nValue) { return Owner()->SetValue2(nValue); }
int CTernFileMon::XCommonControl::RegisterHostFunction(int nId, TernHostFunction pFunction,
                                                       int nExtra) {
    return Owner()->RegisterHostFunction(nId, pFunction, nExtra);
}
int CTernFileMon::XCommonControl::UnregisterHostFunction(int nId, int nExtra) {
    return Owner()->UnregisterHostFunction(nId, nExtra);
}
int CTernFileMon::XCommonControl::QuerySupportedCommand(std::string strCommand) {
    return Owner()->QuerySupportedCommand(std::move(strCommand));
}
int CTernFileMon::XCommonControl::SetValue1(int nValue) { return Owner()->SetValue1(nValue); }
std::string CTernFileMon::XCommonControl::GetMachineName() { return Owner()->GetMachineName(); }

// ---------------------------------------------------------------------------
// ITernFileMon: the interface that carries the reference count.
// ---------------------------------------------------------------------------

HRESULT CTernFileMon::XTernFileMon::QueryInterface(REFIID /*riid*/, void** ppvObject) {
    if (ppvObject != nullptr) *ppvObject = static_cast<ITernFileMon*>(this);
    return 0;
}
ULONG CTernFileMon::XTernFileMon::AddRef() { return static_cast<ULONG>(++Owner()->m_nRefCount); }
ULONG CTernFileMon::XTernFileMon::Release() {
    CTernFileMon* pOwner = Owner();
    const int nCount = --pOwner->m_nRefCount;
    if (nCount != 0) return static_cast<ULONG>(nCount);
    delete pOwner;
    WriteDebugLine("A CTernFileMon object was deleted!\n");
    return 0;
}
bool CTernFileMon::XTernFileMon::StartMonitoring(FileMonCallback pFunction,
                                                 FileMonFilterList* pFilterList) {
    return GuardSlot(Owner(), "StartMonitoring", false,
                     [&] { return Owner()->StartMonitoring(pFunction, pFilterList); });
}
bool CTernFileMon::XTernFileMon::StopMonitoring(int nMonitorType) {
    return GuardSlot(Owner(), "StopMonitoring", false,
                     [&] { return Owner()->StopMonitoring(nMonitorType); });
}
bool CTernFileMon::XTernFileMon::CheckEvent(FileMonRuleList* pRuleList, FileMonEvent* pEvent) {
    return GuardSlot(Owner(), "CheckEvent", false,
                     [&] { return Owner()->CheckEvent(pRuleList, pEvent); });
}
bool CTernFileMon::XTernFileMon::AddDrive(const char* pDriveLetter) {
    return GuardSlot(Owner(), "AddDrive", false, [&] { return Owner()->AddDrive(pDriveLetter); });
}

}  // namespace tern
