#include "DirWatchInfo.h"

#include <cstring>
#include <new>
#include <utility>

#include "DelayedDirectoryChangeHandler.h"
#include "NotificationDecoder.h"
#include "Trace.h"
#include "WatchHealth.h"

namespace tern {

namespace {
constexpr DWORD kStartWaitRoundMs = 10000;
constexpr DWORD kShutdownWaitMs = 5000;
// Failed waits (not time-outs) the start tolerates, 100 ms apart.
constexpr int kMaxFailedStartWaits = 100;
// The start and stop packets carry this byte count; the worker tells them
// from read completions by the running state, not by the count.
constexpr DWORD kRequestPacketBytes = 4;

HANDLE CreateManualResetEvent() { return ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
std::atomic<WatchEventFactory> g_pfnCreateWatchEvent{&CreateManualResetEvent};
HANDLE CreateWatchEvent() { return g_pfnCreateWatchEvent.load()(); }
}  // namespace

void SetWatchEventFactory(WatchEventFactory pfnCreate) {
    g_pfnCreateWatchEvent = pfnCreate != nullptr ? pfnCreate : &CreateManualResetEvent;
}

using CDirWatchInfo = CDirectoryChangeWatcher::CDirWatchInfo;

CDirWatchInfo::CDirWatchInfo(UniqueHandle hDir, const ByteString& strDirectoryName,
                             CDirectoryChangeHandler* pRealHandler, DWORD dwChangeFilter,
                             BOOL bWatchSubtree, bool bAppHasGui, const char* pszIncludeFilter,
                             const char* pszExcludeFilter, DWORD dwFilterFlags)
    : m_dwReadDirError(0),
      m_hDir(std::move(hDir)),
      m_dwChangeFilter(dwChangeFilter),
      m_bWatchSubDir(bWatchSubtree),
      m_strDirName(strDirectoryName),
      m_dwBufLength(0),
      m_nTakenBytes(0),
      m_nCarryOverOffset(0),
      m_hStartedEvent(CreateWatchEvent()),
      m_hStoppedEvent(CreateWatchEvent()),
      m_dwCreateError(m_hStartedEvent && m_hStoppedEvent ? 0 : ::GetLastError()),
      m_RunningState(RUNNING_STATE_NOT_SET) {
    std::memset(m_Buffer, 0, sizeof(m_Buffer));
    std::memset(m_DecodeBuffer, 0, sizeof(m_DecodeBuffer));
    std::memset(&m_Overlapped, 0, sizeof(m_Overlapped));
    if (!m_hDir || strDirectoryName.empty()) return;

    m_pChangeHandler = RefPtr<CDelayedDirectoryChangeHandler>::Adopt(
        new (std::nothrow) CDelayedDirectoryChangeHandler(
            pRealHandler, bAppHasGui, pszIncludeFilter, pszExcludeFilter, dwFilterFlags));
    if (!m_pChangeHandler) {
        TERN_TRACE(" CDirWatchInfo  m_pChangeHandler is NULL");
        return;
    }
    m_pChangeHandler->SetPartialPathOffset(strDirectoryName);
    m_pChangeHandler->SetHealth(CHealthRegistry::Instance().ForRoot(strDirectoryName));
    NoteWatchCount(m_pChangeHandler->GetHealth(), +1);
    // The wrapper's pointer to the real handler is this record's counted
    // reference; the destructor takes it back out and gives it back.
    CDirectoryChangeHandler* pReal = m_pChangeHandler->GetRealChangeHandler();
    if (pReal != nullptr) pReal->AddRef();
}

CDirWatchInfo::~CDirWatchInfo() {
    if (m_pChangeHandler) {
        // Losses held back by the one-line-per-second limit are written now.
        NoteWatchCount(m_pChangeHandler->GetHealth(), -1);
        CLossReporter::Instance().FlushRoot(m_strDirName);
        const RefPtr<CDirectoryChangeHandler> pReal = RefPtr<CDirectoryChangeHandler>::Adopt(
            m_pChangeHandler->SetRealDirectoryChangeHandler(nullptr));
        if (!pReal) TERN_TRACE("~CDirWatchInfo  SetRealDirectoryChangeHandler Faill");
    }
    CloseDirectoryHandle();
}

CDirectoryChangeHandler* CDirWatchInfo::GetRealChangeHandler() const {
    return m_pChangeHandler ? m_pChangeHandler->GetRealChangeHandler() : nullptr;
}

CDirectoryChangeHandler* CDirWatchInfo::SetRealDirectoryChangeHandler(
    CDirectoryChangeHandler* pHandler) {
    if (!m_pChangeHandler) return nullptr;
    return m_pChangeHandler->SetRealDirectoryChangeHandler(pHandler);
}

void CDirWatchInfo::ReleaseWatcherBinding(CDirectoryChangeWatcher* pWatcher) {
    CDirectoryChangeHandler* pReal = GetRealChangeHandler();
    if (pReal != nullptr) pReal->ReleaseReferenceToWatcher(pWatcher);
}

BOOL CDirWatchInfo::CloseDirectoryHandle() {
    ScopedLock lock(m_cs);
    if (!m_hDir) return TRUE;
    if (m_hDir.Reset()) return TRUE;
    TERN_TRACE_CODE("CloseDirectoryHandle failed", ::GetLastError());
    return FALSE;
}

bool CDirWatchInfo::IsDirectoryHandleOpen() {
    ScopedLock lock(m_cs);
    return m_hDir.IsValid();
}

LONG CDirWatchInfo::GetRunningState() {
    ScopedLock lock(m_cs);
    return m_RunningState;
}

void CDirWatchInfo::SetRunningState(LONG nState) {
    ScopedLock lock(m_cs);
    m_RunningState = nState;
}

DWORD CDirWatchInfo::IssueRead() {
    if (!::ReadDirectoryChangesW(m_hDir.Get(), m_Buffer, READ_DIR_CHANGE_BUFFER_SIZE, m_bWatchSubDir,
                                 m_dwChangeFilter, &m_dwBufLength, &m_Overlapped, nullptr)) {
        const DWORD dwError = ::GetLastError();
        return dwError != 0 ? dwError : ERROR_INVALID_FUNCTION;
    }
    return 0;
}

void CDirWatchInfo::TakeCompletedRead(const BYTE* pData, DWORD nBytes) {
    if (nBytes > READ_DIR_CHANGE_BUFFER_SIZE) nBytes = READ_DIR_CHANGE_BUFFER_SIZE;
    if (m_nCarryOverOffset > sizeof(m_DecodeBuffer) - READ_DIR_CHANGE_BUFFER_SIZE) {
        m_nCarryOverOffset = 0;
    }
    std::memcpy(m_DecodeBuffer + m_nCarryOverOffset, pData, nBytes);
    m_nTakenBytes = nBytes;
}

void CDirWatchInfo::BeginDecodedBatch() {
    if (!m_pChangeHandler) return;
    m_pChangeHandler->SetChangedDirectoryName(m_strDirName);
    m_pChangeHandler->BeginBatch();
}

void CDirWatchInfo::EndDecodedBatch() {
    if (m_pChangeHandler) m_pChangeHandler->EndBatch();
}

void CDirWatchInfo::DecodeTakenRead() {
    if (!m_pChangeHandler) {
        m_nCarryOverOffset = 0;
        return;
    }
    m_nCarryOverOffset =
        tern::DecodeCompletedRead(m_DecodeBuffer, sizeof(m_DecodeBuffer), m_nCarryOverOffset,
                                  m_nTakenBytes, m_strDirName, *m_pChangeHandler.Get());
}

DWORD CDirWatchInfo::StartMonitor(HANDLE hCompPort) {
    if (m_dwCreateError != 0 || !m_hStartedEvent || !m_hStoppedEvent) {
        // Without its events the record could neither wait for its start nor
        // for its stop: it is refused before the worker ever sees it.
        const DWORD dwError = m_dwCreateError != 0 ? m_dwCreateError : ERROR_INVALID_HANDLE;
        TERN_TRACE_CODE("StartMonitor events not created", dwError);
        return dwError;
    }
    BOOL bPosted = FALSE;
    DWORD dwPostError = 0;
    {
        ScopedLock lock(m_cs);
        m_RunningState = RUNNING_STATE_START_MONITORING;
        m_nCarryOverOffset = 0;
        bPosted = ::PostQueuedCompletionStatus(hCompPort, kRequestPacketBytes,
                                               reinterpret_cast<ULONG_PTR>(this), &m_Overlapped);
        dwPostError = ::GetLastError();
    }
    if (!bPosted) {
        const ByteString strMessage =
            FormatTruncated(255, "StartMonitor::PostQueuedCompletionStatus fail: %d",
                            static_cast<int>(dwPostError));
        TERN_TRACE(strMessage.c_str());
        return dwPostError != 0 ? dwPostError : ERROR_INVALID_HANDLE;
    }
    // A wait that keeps failing is given up like a time-out: the start packet
    // is queued, so the record must stay (a start not yet confirmed counts as
    // a success) and the worker confirms it whenever it gets to it.
    for (int nFailedWaits = 0;;) {
        const DWORD dwWait = ::WaitForSingleObject(m_hStartedEvent.Get(), kStartWaitRoundMs);
        if (dwWait == WAIT_OBJECT_0) break;
        if (dwWait == WAIT_TIMEOUT) {
            TERN_TRACE("StartMonitor:::WaitForSingleObject:: WAIT_TIMEOUT");
            break;
        }
        ::Sleep(100);
        TERN_TRACE("StartMonitor:::WaitForSingleObject:: other code");
        if (++nFailedWaits >= kMaxFailedStartWaits) break;
    }
    TERN_TRACE("WatchDirectory::: StartMonitor Success");
    return m_dwReadDirError.load();
}

BOOL CDirWatchInfo::SignalShutdown(HANDLE hCompPort) {
    if (hCompPort != nullptr && IsDirectoryHandleOpen()) {
        ScopedLock lock(m_cs);
        m_RunningState = RUNNING_STATE_STOP;
        return ::PostQueuedCompletionStatus(hCompPort, kRequestPacketBytes,
                                            reinterpret_cast<ULONG_PTR>(this), &m_Overlapped);
    }
    TERN_TRACE("SignalShutdown::: hCompPort NULL");
    return FALSE;
}

BOOL CDirWatchInfo::WaitForShutdown() {
    const HANDLE hEvent = m_hStoppedEvent.Get();
    const DWORD dwWait = ::MsgWaitForMultipleObjects(1, &hEvent, FALSE, kShutdownWaitMs, QS_ALLINPUT);
    if (dwWait == WAIT_OBJECT_0) return TRUE;
    if (dwWait == WAIT_TIMEOUT) {
        TERN_TRACE("WaitForShutdown Time Out");
        return FALSE;
    }
    if (dwWait == WAIT_FAILED) {
        const ByteString strMessage =
            "LastError:" + std::to_string(::GetLastError()) + "dwWait: -1";
        TERN_TRACE(strMessage.c_str());
    }
    return FALSE;
}

BOOL CDirWatchInfo::UnwatchDirectory(HANDLE hCompPort) {
    if (hCompPort == INVALID_HANDLE_VALUE) {
        TERN_TRACE("UnwatchDirectory::: hCompPort NULL");
        return FALSE;
    }
    if (!SignalShutdown(hCompPort)) {
        TERN_TRACE("UnwatchDirectory::: SignalShutdown Fail");
        return FALSE;
    }
    if (!m_hStoppedEvent) return FALSE;
    if (WaitForShutdown()) return TRUE;
    CloseDirectoryHandle();
    TERN_TRACE("UnwatchDirectory::: WaitForShutdown Fail");
    return FALSE;
}

}  // namespace tern
