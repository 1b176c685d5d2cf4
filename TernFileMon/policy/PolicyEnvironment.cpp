#include "PolicyEnvironment.h"

#include "../DirectoryChanges/Trace.h"
#include "../DirectoryChanges/WatchHealth.h"
#include "../copy/CopySource.h"
#include "../filemon/FileMonitor.h"
#include "../filemon/RecordedRoots.h"
#include "PolicyHandler.h"

namespace tern {

CLivePolicyEnvironment g_livePolicyEnvironment;
std::atomic<TernPolicyRecorder> g_pfnPolicyRecorder{nullptr};

namespace {

// Whose rules the handler reports against, as the host named them at the start.
std::int32_t MonitorTypeOf(const CDirectoryChangeHandler_Policy& handler) {
    const CFileMonitor* pMonitor = g_pFileMonitor;
    if (handler.m_pRuleList == nullptr || pMonitor == nullptr) return 0;
    if (handler.m_pRuleList == pMonitor->m_pUsbRuleList.load()) return FILEMON_USB;
    return handler.m_pRuleList == pMonitor->m_pLocalRuleList.load() ? FILEMON_LOCAL : 0;
}

ByteString JoinedUsbRoots() {
    ByteString strRoots;
    for (const ByteString& strRoot : g_arrRecordedRoots.Snapshot()) {
        if (!strRoots.empty()) strRoots += '|';
        strRoots += strRoot;
    }
    return strRoots;
}

}  // namespace

__time64_t CLivePolicyEnvironment::CurrentTime() {
    // The same whole seconds as _time64, read from the system clock directly:
    // the C runtime asks for the time zone on every call, which under Wine
    // costs about 5 us, a hundred times the clock read, on every notification.
    constexpr ULONGLONG kTicksPerSecond = 10000000;         // FILETIME counts 100 ns
    constexpr __time64_t kSecondsFrom1601To1970 = 11644473600;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG nTicks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<__time64_t>(nTicks / kTicksPerSecond) - kSecondsFrom1601To1970;
}

ByteString CLivePolicyEnvironment::CopySourceOf(const ByteString& strNewPath) {
    // The watcher keeps the user's temporary folder for every root; the lookup
    // fills it while it is empty. Only the notification thread touches it.
    CFileMonitor* pMonitor = g_pFileMonitor;
    if (pMonitor != nullptr) return FindCopySource(strNewPath, pMonitor->m_DirWatcher.m_strTempPath);
    ByteString strUserTempPath;
    return FindCopySource(strNewPath, strUserTempPath);
}

CPolicyRecording::CPolicyRecording(CDirectoryChangeHandler_Policy& handler, std::uint32_t nKind,
                                   const ByteString& strPath, const ByteString* pNewPath)
    : m_pfnRecorder(g_pfnPolicyRecorder.load(std::memory_order_acquire)), m_handler(handler) {
    if (m_pfnRecorder == nullptr) return;
    m_note.cbSize = sizeof(m_note);
    m_note.nKind = nKind;
    m_note.nHandler = handler.m_nHandlerNumber;
    m_note.nMonitorType = MonitorTypeOf(handler);
    m_note.tTime = -1;
    m_note.pszPath = strPath.c_str();
    m_note.pszNewPath = pNewPath != nullptr ? pNewPath->c_str() : "";
    m_strUsbRoots = JoinedUsbRoots();
    m_note.pszUsbRoots = m_strUsbRoots.c_str();
    m_note.pszInstallRoot = handler.m_strInstallRoot.c_str();
    m_pInner = handler.m_pEnvironment;
    handler.m_pEnvironment = this;
    ::QueryPerformanceCounter(&m_start);
}

CPolicyRecording::~CPolicyRecording() {
    if (m_pfnRecorder == nullptr) return;
    m_handler.m_pEnvironment = m_pInner;
    m_note.nMicroseconds = MicrosecondsSince(m_start);
    try {
        m_pfnRecorder(&m_note);
    } catch (...) {
        TERN_TRACE("Policy recorder exception");
    }
}

__time64_t CPolicyRecording::CurrentTime() {
    m_note.tTime = m_pInner->CurrentTime();
    return m_note.tTime;
}

ByteString CPolicyRecording::CopySourceOf(const ByteString& strNewPath) {
    m_strCopySource = m_pInner->CopySourceOf(strNewPath);
    m_note.pszCopySource = m_strCopySource.c_str();
    return m_strCopySource;
}

ByteString CReplayEnvironment::CopySourceOf(const ByteString& /*strNewPath*/) {
    if (m_pNote == nullptr || m_pNote->pszCopySource == nullptr) return ByteString();
    return m_pNote->pszCopySource;
}

}  // namespace tern
