// CDirWatchInfo: one watched directory of a CDirectoryChangeWatcher, with its
// directory handle, read buffer, overlapped block and the running state that
// the worker thread acts on.
#ifndef TERNFILEMON_DIRECTORYCHANGES_DIRWATCHINFO_H
#define TERNFILEMON_DIRECTORYCHANGES_DIRWATCHINFO_H

#include <windows.h>

#include <atomic>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../common/RefPtr.h"
#include "../common/Win32Handles.h"
#include "DirectoryChangeWatcher.h"

namespace tern {

class CDelayedDirectoryChangeHandler;

constexpr LONG RUNNING_STATE_NOT_SET = 0;
constexpr LONG RUNNING_STATE_START_MONITORING = 1;
constexpr LONG RUNNING_STATE_STOP = 2;
constexpr LONG RUNNING_STATE_STOP_STEP2 = 3;
constexpr LONG RUNNING_STATE_NORMAL = 5;

constexpr DWORD READ_DIR_CHANGE_BUFFER_SIZE = 4096;

// Makes the start and stop events of each new record (manual-reset, not
// signalled). Tests put in one that fails; null restores CreateEventA.
using WatchEventFactory = HANDLE (*)();
void SetWatchEventFactory(WatchEventFactory pfnCreate);

// Owned by the watcher's registry (or, while it starts, by WatchDirectory);
// the worker knows it by address as long as the registry holds it.
class CDirectoryChangeWatcher::CDirWatchInfo {
public:
    CDirWatchInfo(UniqueHandle hDir, const ByteString& strDirectoryName,
                  CDirectoryChangeHandler* pRealHandler, DWORD dwChangeFilter, BOOL bWatchSubtree,
                  bool bAppHasGui, const char* pszIncludeFilter, const char* pszExcludeFilter,
                  DWORD dwFilterFlags);
    CDirWatchInfo(const CDirWatchInfo&) = delete;
    CDirWatchInfo& operator=(const CDirWatchInfo&) = delete;
    // Gives back the real handler's reference, closes the directory.
    ~CDirWatchInfo();

    CDelayedDirectoryChangeHandler* GetChangeHandler() const { return m_pChangeHandler.Get(); }
    CDirectoryChangeHandler* GetRealChangeHandler() const;
    CDirectoryChangeHandler* SetRealDirectoryChangeHandler(CDirectoryChangeHandler* pHandler);
    const ByteString& GetDirectoryName() const { return m_strDirName; }

    BOOL CloseDirectoryHandle();
    bool IsDirectoryHandleOpen();
    // Releases the real handler's binding to pWatcher; the registry calls it
    // before it destroys a record that was registered.
    void ReleaseWatcherBinding(CDirectoryChangeWatcher* pWatcher);

    // The handshakes with the worker thread.
    DWORD StartMonitor(HANDLE hCompPort);
    BOOL UnwatchDirectory(HANDLE hCompPort);
    BOOL SignalShutdown(HANDLE hCompPort);
    BOOL WaitForShutdown();

    // Worker-thread side.
    LONG GetRunningState();
    void SetRunningState(LONG nState);
    // The worker's confirmations. A start and a stop are confirmed through
    // events of their own: a start confirmed after its caller gave up waiting
    // can never pass for the confirmation of a later stop.
    void SignalStarted() { ::SetEvent(m_hStartedEvent.Get()); }
    void SignalStopped() { ::SetEvent(m_hStoppedEvent.Get()); }
    // Issues the one outstanding read of this watch into the read buffer.
    DWORD IssueRead();
    // What the last completed read brought; valid until the read is issued again.
    const BYTE* CompletedRead() const { return m_Buffer; }
    // Copies nBytes of a completed read (from the read buffer or from a copy
    // of it) into the decode buffer, behind a kept old-name record.
    void TakeCompletedRead(const BYTE* pData, DWORD nBytes);
    // Every call decoded between these two goes to the notification thread
    // as one batch (one message).
    void BeginDecodedBatch();
    void EndDecodedBatch();
    // Decodes what TakeCompletedRead took into calls on the wrapper, inside a batch.
    void DecodeTakenRead();
    // 0 or the Win32 error of the last failed read.
    void SetReadError(DWORD dwError) { m_dwReadDirError = dwError; }

private:
    // Written by the worker, read by StartMonitor after the start handshake.
    std::atomic<DWORD> m_dwReadDirError;
    // The wrapper; queued notifications hold references of their own to it.
    RefPtr<CDelayedDirectoryChangeHandler> m_pChangeHandler;
    // The directory handle; closed under m_cs by whichever thread stops first.
    UniqueHandle m_hDir;
    DWORD m_dwChangeFilter;
    BOOL m_bWatchSubDir;
    ByteString m_strDirName;
    alignas(8) BYTE m_Buffer[READ_DIR_CHANGE_BUFFER_SIZE];
    DWORD m_dwBufLength;
    OVERLAPPED m_Overlapped;
    // Used by one decoding thread at a time (see CReadDecoder). Room for one
    // read behind a kept old-name record.
    alignas(8) BYTE m_DecodeBuffer[2 * READ_DIR_CHANGE_BUFFER_SIZE];
    DWORD m_nTakenBytes;
    // Where the next read is copied to: non-zero while an old-name record
    // waits at the start of the decode buffer for its new-name record.
    DWORD m_nCarryOverOffset;
    // Guards m_hDir and m_RunningState. Taken alone or under the registry lock.
    CriticalSection m_cs;
    // Manual-reset; each is signalled once in a record's life.
    UniqueHandle m_hStartedEvent;
    UniqueHandle m_hStoppedEvent;
    // 0, or why the events could not be created: such a record never starts.
    DWORD m_dwCreateError;
    LONG m_RunningState;
};

}  // namespace tern

#endif
