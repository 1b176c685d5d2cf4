// The worker thread of a watcher: services the completion port, runs each
// record's state machine, decodes completed reads and re-issues them.
#include "DelayedDirectoryChangeHandler.h"
#include "DirWatchInfo.h"
#include "DirectoryChangeWatcher.h"
#include "Trace.h"
#include "WatchHealth.h"

namespace tern {

namespace {

using CDirWatchInfo = CDirectoryChangeWatcher::CDirWatchInfo;

void StartFirstRead(CDirWatchInfo& info) {
    const DWORD dwError = info.IssueRead();
    info.SetReadError(dwError);
    if (dwError == 0) info.SetRunningState(RUNNING_STATE_NORMAL);
    if (CDelayedDirectoryChangeHandler* pHandler = info.GetChangeHandler()) {
        pHandler->OnWatchStarted(dwError, info.GetDirectoryName());
    }
    info.SignalStarted();
}

void StopWatch(CDirWatchInfo& info) {
    TERN_TRACE("RUNNING_STATE_STOP");
    if (!info.IsDirectoryHandleOpen()) {
        info.SignalStopped();
        TERN_TRACE("RUNNING_STATE_STOP  INVALID_HANDLE_VALUE");
        return;
    }
    // Closing the handle aborts the pending read; its completion packet
    // confirms the stop to the waiting caller.
    info.CloseDirectoryHandle();
    info.SetRunningState(RUNNING_STATE_STOP_STEP2);
    if (CDelayedDirectoryChangeHandler* pHandler = info.GetChangeHandler()) {
        pHandler->OnWatchStopped(info.GetDirectoryName());
        TERN_TRACE("RUNNING_STATE_STOP Not  INVALID_HANDLE_VALUE");
    } else {
        TERN_TRACE("GetChangeHandler Fail");
    }
}

CWatchHealth* HealthOfWatch(const CDirWatchInfo& info) {
    const CDelayedDirectoryChangeHandler* pHandler = info.GetChangeHandler();
    return pHandler != nullptr ? pHandler->GetHealth() : nullptr;
}

void FinishStop(CDirWatchInfo& info) {
    if (info.IsDirectoryHandleOpen()) {
        info.CloseDirectoryHandle();
        TERN_TRACE("RUNNING_STATE_STOP_STEP2  Not INVALID_HANDLE_VALUE");
    } else {
        info.SignalStopped();
    }
}

}  // namespace

void CDirectoryChangeWatcher::HandleCompletedRead(CDirWatchInfo& info, DWORD nBytes) {
    if (CDelayedDirectoryChangeHandler* pHandler = info.GetChangeHandler()) {
        pHandler->SetChangedDirectoryName(info.GetDirectoryName());
    }
    if (nBytes == 0) ++m_nEmptyCompletions;
    // The read goes out again before the batch is decoded: changes that
    // happen meanwhile land in it instead of piling up in the system, where a
    // burst would overflow them.
    info.TakeCompletedRead(nBytes);
    const DWORD dwError = info.IssueRead();
    if (::GetCurrentThreadId() == m_dwThreadID.load()) info.DecodeTakenRead();
    if (dwError == 0) {
        info.SetReadError(0);
        return;
    }
    // The read cannot go on: tell the handler and drop the watch, quickly,
    // since callers may be waiting for the registry lock meanwhile.
    const HANDLE hThread = ::GetCurrentThread();
    const int nPriority = ::GetThreadPriority(hThread);
    ::SetThreadPriority(hThread, THREAD_PRIORITY_HIGHEST);
    info.SetReadError(dwError);
    if (CDelayedDirectoryChangeHandler* pHandler = info.GetChangeHandler()) {
        pHandler->OnWatchError(dwError, info.GetDirectoryName());
    }
    NoteLoss(HealthOfWatch(info), ELossKind::WatchEnded, 1);
    UnwatchDirectoryBecauseOfError(&info);
    ::SetThreadPriority(hThread, nPriority);
}

DWORD WINAPI MonitorDirectoryChanges(LPVOID pParam) {
    CDirectoryChangeWatcher* pThis = static_cast<CDirectoryChangeWatcher*>(pParam);
    if (pThis == nullptr) {
        TERN_TRACE("MonitorDirectoryChanges pThis is NULL");
        return 0;
    }
    try {
        pThis->m_dwThreadID = ::GetCurrentThreadId();
        pThis->OnWorkerThreadStart();
        for (;;) {
            const HANDLE hCompPort = pThis->m_hCompPort.load();
            if (hCompPort == nullptr) {
                TERN_TRACE("m_hCompPort is NULL.");
                break;
            }
            DWORD nBytes = 0;
            ULONG_PTR nKey = 0;
            LPOVERLAPPED pOverlapped = nullptr;
            // The worker's idle wait for work, not a wait of any ending: it has
            // no bound, and the exit packet (or the port's closing) ends it.
            const BOOL bOk =
                ::GetQueuedCompletionStatus(hCompPort, &nBytes, &nKey, &pOverlapped, INFINITE);
            const DWORD dwCompletionError = bOk ? 0 : ::GetLastError();
            CDirWatchInfo* pInfo = reinterpret_cast<CDirWatchInfo*>(nKey);
            // An aborted read of a closed directory is the expected end of a
            // stop; every other failure is worth a line.
            if (!bOk && (pInfo == nullptr || pInfo->IsDirectoryHandleOpen())) {
                TERN_TRACE("GetQueuedCompletionStatus FALSE");
            }
            if (pInfo == nullptr) break;

            switch (pInfo->GetRunningState()) {
                case RUNNING_STATE_START_MONITORING:
                    StartFirstRead(*pInfo);
                    break;
                case RUNNING_STATE_STOP:
                    StopWatch(*pInfo);
                    break;
                case RUNNING_STATE_STOP_STEP2:
                    FinishStop(*pInfo);
                    break;
                case RUNNING_STATE_NORMAL:
                    NoteReadCompletion(HealthOfWatch(*pInfo), nBytes, dwCompletionError,
                                       pInfo->IsDirectoryHandleOpen());
                    pThis->HandleCompletedRead(*pInfo, nBytes);
                    break;
                default:
                    break;
            }
        }
        TERN_TRACE("[MonitorDirectoryChanges] Thread exit.");
        pThis->OnWorkerThreadExit();
        pThis->m_hThread = nullptr;
        return 0;
    } catch (...) {
        TERN_TRACE("Monitor Directory change Exception");
        pThis->m_hThread = nullptr;
        return 0;
    }
}

}  // namespace tern
