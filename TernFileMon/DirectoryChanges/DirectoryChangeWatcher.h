// CDirectoryChangeWatcher: watches any number of directory trees through one
// I/O completion port served by one worker thread (with a decoding thread of
// its own, see CReadDecoder), and hands every change to the handler of its
// watch on the process-wide notification thread.
#ifndef TERNFILEMON_DIRECTORYCHANGES_DIRECTORYCHANGEWATCHER_H
#define TERNFILEMON_DIRECTORYCHANGES_DIRECTORYCHANGEWATCHER_H

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../common/Win32Handles.h"
#include "DirectoryChangeHandler.h"

namespace tern {

class CReadDecoder;

// Filter-flag bits of the watcher (how the deferring wrapper tests names).
constexpr DWORD FILTERS_DONT_USE_FILTERS = 1;
constexpr DWORD FILTERS_CHECK_PARTIAL_PATH = 4;
constexpr DWORD FILTERS_CHECK_FILE_NAME_ONLY = 8;
constexpr DWORD FILTERS_TEST_HANDLER_FIRST = 16;
constexpr DWORD FILTERS_DONT_USE_HANDLER_FILTER = 32;
constexpr DWORD FILTERS_NO_WATCHSTART_NOTIFICATION = 64;
constexpr DWORD FILTERS_NO_WATCHSTOP_NOTIFICATION = 128;
constexpr DWORD FILTERS_DEFAULT_BEHAVIOR = FILTERS_CHECK_FILE_NAME_ONLY;

// Ending. UnwatchAllDirectories stops every watch, tells the worker to end
// (the exit packet) and waits for it (the worker-exit bound), then waits until
// every notification its watches posted has been delivered (the drain bound;
// see CDelayedNotificationThread::Flush for what happens when that runs out).
// The worker's own waits are bounded and cut short while it is being ended,
// so only a worker that cannot run (or a host log call that does not return)
// outlasts its bound. Such a worker is abandoned, never terminated: the port,
// the records it may use and the watcher itself must then stay; see
// IsWorkerAbandoned. It holds a reference to the library and leaves through
// FreeLibraryAndExitThread, so its code stays loaded while it runs. The
// worker ends its decoding thread before it leaves, so the bound on the
// worker covers both.
class CDirectoryChangeWatcher {
public:
    class CDirWatchInfo;

    static constexpr DWORD kWorkerExitWaitMs = 10000;
    static constexpr DWORD kNotificationDrainMs = 30000;

    // The two bounds of the ending, shortened by tests.
    void SetEndingBounds(DWORD dwWorkerExitWaitMs, DWORD dwNotificationDrainMs) {
        m_dwWorkerExitWaitMs = dwWorkerExitWaitMs;
        m_dwNotificationDrainMs = dwNotificationDrainMs;
    }
    // True after an ending whose worker outlasted its bound and still runs.
    // The worker uses this watcher until it leaves: an owner must then leave
    // the watcher alive (the file monitor is never freed then). A watcher
    // destroyed anyway waits for its worker without limit in its destructor,
    // the one wait that cannot be bounded, since its memory is what the worker
    // uses. A later UnwatchAllDirectories or WatchDirectory finishes the ending
    // once the worker has gone.
    bool IsWorkerAbandoned() const { return m_bWorkerAbandoned.load(); }

    // bHasGui selects the hidden-window transport for notifications instead of
    // the notification thread; nFilterFlags 0 means FILTERS_DEFAULT_BEHAVIOR.
    CDirectoryChangeWatcher(bool bHasGui, DWORD nFilterFlags);
    CDirectoryChangeWatcher(const CDirectoryChangeWatcher&) = delete;
    CDirectoryChangeWatcher& operator=(const CDirectoryChangeWatcher&) = delete;
    virtual ~CDirectoryChangeWatcher();

    // Returns 0 or a Win32 error code. Watching a directory twice replaces the
    // first watch. The watch keeps its own reference to pHandler.
    DWORD WatchDirectory(const ByteString& strDirectory, DWORD dwChangesToWatchFor,
                         CDirectoryChangeHandler* pHandler, BOOL bWatchSubtree,
                         const char* pszInclude, const char* pszExclude);
    BOOL UnwatchDirectory(const ByteString& strDirectory);
    // Stops every watch of this handler; the handler side calls it.
    BOOL UnwatchDirectory(CDirectoryChangeHandler* pHandler);
    // Stops every watch and ends the worker thread.
    BOOL UnwatchAllDirectories();
    BOOL IsAlreadyWatched(const ByteString& strDirectory);
    int NumWatchedDirectories();
    // Read completions that carried no records (the system's change buffer
    // overflowed, or the read failed), over all watches: changes were lost.
    unsigned long GetEmptyCompletionCount() const { return m_nEmptyCompletions.load(); }

    // The interactive user's temporary directory, kept here for the copy
    // detection; the engine itself neither fills nor reads it.
    ByteString m_strTempPath;

protected:
    // Called on the worker thread around its loop.
    virtual void OnWorkerThreadStart();
    virtual void OnWorkerThreadExit();

private:
    friend DWORD WINAPI MonitorDirectoryChanges(LPVOID pParam);

    // Makes room for one more record; the registry's only allocation.
    bool ReserveRegistryEntry();
    BOOL AddToWatchInfo(std::unique_ptr<CDirWatchInfo> pWatchInfo);
    CDirWatchInfo* GetDirWatchInfo(const ByteString& strDirName, int& nIndex) const;
    CDirWatchInfo* GetDirWatchInfo(CDirWatchInfo* pWatchInfo, int& nIndex) const;
    CDirWatchInfo* GetDirWatchInfo(CDirectoryChangeHandler* pChangeHandler, int& nIndex) const;
    BOOL UnwatchDirectoryBecauseOfError(CDirWatchInfo* pWatchInfo);
    std::unique_ptr<CDirWatchInfo>& EntryAt(int nIndex);
    // Stops one registry entry's watch and clears the entry; destroys the
    // record when the stop succeeded. Registry lock held.
    BOOL StopAndRemoveEntry(int nIndex);
    // Worker thread: queue one completed read for decoding, re-issue it.
    void HandleCompletedRead(CDirWatchInfo& info, DWORD nBytes, CReadDecoder& decoder);
    DWORD StartWorkerThread();
    void EndWorkerThread();
    // Waits up to dwWaitMs for a worker told to end, then lets go of the port
    // and of the records it may have used. False when it still runs: it is
    // abandoned and keeps them. Lifecycle lock held.
    bool FinishWorkerEnding(DWORD dwWaitMs);
    // True when no worker thread is left to wait for.
    bool JoinWorkerThread(DWORD dwWaitMs);
    // Stops every registry entry and empties the registry. Lifecycle lock held.
    void StopAllEntries();
    // Lets go of the port: the view first, then the handle.
    void ClosePort();
    void FreeOrphans();

    // The completion port, owned by m_hCompPortOwner; m_hCompPort is the view
    // the worker reads without a lock (null once the port is gone).
    UniqueHandle m_hCompPortOwner;
    std::atomic<HANDLE> m_hCompPort;
    // The worker's handle as the running flag: the worker clears it when it
    // leaves. m_hThreadOwner owns the handle for the final wait.
    std::atomic<HANDLE> m_hThread;
    std::atomic<DWORD> m_dwThreadID;
    UniqueHandle m_hThreadOwner;
    // Set while the worker is being ended: cuts short a wait of the worker
    // for the delivery of a stop that the notification thread cannot make
    // (it may be the very thread that is ending the worker). Manual-reset.
    UniqueHandle m_hEndingWorker;
    // The registry owns its records; the worker knows them by address only
    // (the completion key), for as long as they are registered or orphaned.
    std::vector<std::unique_ptr<CDirWatchInfo>> m_DirectoriesToWatch;
    // Records whose stop was not confirmed: the worker may still use them, so
    // they are freed only once the worker has ended.
    std::vector<std::unique_ptr<CDirWatchInfo>> m_Orphans;
    // Lock order: m_csLifecycle, then the registry lock m_csDirWatchInfo, then
    // a record lock or a handler lock. m_csLifecycle serialises WatchDirectory
    // as a whole (so two attaches of one directory leave one record) and the
    // ending of the port and the worker; the worker never takes it.
    CriticalSection m_csLifecycle;
    mutable CriticalSection m_csDirWatchInfo;
    bool m_bHasGui;
    DWORD m_nFilterFlags;
    std::atomic<unsigned long> m_nEmptyCompletions{0};
    DWORD m_dwWorkerExitWaitMs = kWorkerExitWaitMs;
    DWORD m_dwNotificationDrainMs = kNotificationDrainMs;
    std::atomic<bool> m_bWorkerAbandoned{false};
};

// The worker thread of a watcher (pParam is the watcher).
DWORD WINAPI MonitorDirectoryChanges(LPVOID pParam);

}  // namespace tern

#endif
