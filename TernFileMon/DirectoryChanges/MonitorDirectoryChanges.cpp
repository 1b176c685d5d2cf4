// The worker thread of a watcher: services the completion port, runs each
// record's state machine, re-issues completed reads and queues them for
// decoding.
#include "DelayedDirectoryChangeHandler.h"
#include "DirWatchInfo.h"
#include "DirectoryChangeWatcher.h"
#include "ReadDecoder.h"
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

void CDirectoryChangeWatcher::HandleCompletedRead(CDirWatchInfo& info, DWORD nBytes,
                                                  CReadDecoder& decoder) {
    if (nBytes == 0) ++m_nEmptyCompletions;
    // Copied aside and out again at once: changes that happen meanwhile land
    // in the read instead of piling up in the system, where a burst would
    // overflow them. The decoding happens elsewhere (see CReadDecoder).
    const bool bOwnWorker = ::GetCurrentThreadId() == m_dwThreadID.load();
    if (bOwnWorker) decoder.Queue(info, nBytes);
    const DWORD dwError = info.IssueRead();
    if (bOwnWorker) decoder.HandOver(false);
    if (dwError == 0) {
        info.SetReadError(0);
        return;
    }
    // The watch's record goes below: what it read is decoded first.
    decoder.DecodeAll();
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
        {
            // Ended, once it has decoded what it holds, before the worker says
            // it has left, also when an exception leaves the loop.
            CReadDecoder decoder;
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
                // With reads not yet handed over, only a look.
                const DWORD dwWaitMs = decoder.HasNewReads() ? 0 : INFINITE;
                const BOOL bOk =
                    ::GetQueuedCompletionStatus(hCompPort, &nBytes, &nKey, &pOverlapped, dwWaitMs);
                const DWORD dwCompletionError = bOk ? 0 : ::GetLastError();
                if (!bOk && pOverlapped == nullptr && dwCompletionError == WAIT_TIMEOUT) {
                    decoder.HandOver(true);
                    continue;
                }
                CDirWatchInfo* pInfo = reinterpret_cast<CDirWatchInfo*>(nKey);
                // An aborted read of a closed directory is the expected end of a
                // stop; every other failure is worth a line.
                if (!bOk && (pInfo == nullptr || pInfo->IsDirectoryHandleOpen())) {
                    TERN_TRACE("GetQueuedCompletionStatus FALSE");
                }
                if (pInfo == nullptr) break;

                const LONG nState = pInfo->GetRunningState();
                // A watch's start, stop or end comes after its changes, and no
                // queued read may outlive its record.
                if (nState != RUNNING_STATE_NORMAL) decoder.DecodeAll();
                switch (nState) {
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
                        pThis->HandleCompletedRead(*pInfo, nBytes, decoder);
                        break;
                    default:
                        break;
                }
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
