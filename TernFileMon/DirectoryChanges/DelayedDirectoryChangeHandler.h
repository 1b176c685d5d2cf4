// CDelayedDirectoryChangeHandler: the wrapper every watch puts around the
// caller's handler. The watcher's threads call the wrapper (the worker, and
// the decoding thread for the changes it decodes); each call is copied
// into a CChangeNotification and repeated on the real handler by the
// notification thread (or the hidden window), after the name filters.
#ifndef TERNFILEMON_DIRECTORYCHANGES_DELAYEDDIRECTORYCHANGEHANDLER_H
#define TERNFILEMON_DIRECTORYCHANGES_DELAYEDDIRECTORYCHANGEHANDLER_H

#include <windows.h>

#include <vector>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../common/RefPtr.h"
#include "../common/Win32Handles.h"
#include "DirectoryChangeHandler.h"

namespace tern {

class CDelayedNotifier;
class CWatchHealth;
class CDelayedDirectoryChangeHandler;

// Notification kinds (also the action codes offered to AcceptNotification).
constexpr long NOTIFY_KIND_UNSET = -1;
constexpr long NOTIFY_KIND_ADDED = 1;
constexpr long NOTIFY_KIND_REMOVED = 2;
constexpr long NOTIFY_KIND_MODIFIED = 3;
constexpr long NOTIFY_KIND_RENAMED = 4;
constexpr long NOTIFY_KIND_WATCH_ERROR = 5;
constexpr long NOTIFY_KIND_WATCH_STARTED = 6;
constexpr long NOTIFY_KIND_WATCH_STOPPED = 7;

// The message that carries a CChangeNotification (lParam) to the dispatcher.
constexpr UINT UWM_DELAYED_DIRECTORY_NOTIFICATION = 0x8400;

// One deferred call. Owned by the message that carries it; freed by the
// dispatcher. Holds a reference to its wrapper and to the real handler of the
// moment it was made, so that a call made before its watch ended (the
// OnWatchError of a dropped watch, above all) still reaches the handler.
struct CChangeNotification {
    RefPtr<CDelayedDirectoryChangeHandler> m_pDelayedHandler;
    RefPtr<CDirectoryChangeHandler> m_pRealHandler;
    long m_eFunctionToDispatch = NOTIFY_KIND_UNSET;
    ByteString m_strFileName1;
    // The new name of a rename; empty for every other kind.
    ByteString m_strFileName2;
    DWORD m_dwError = 0;
    DWORD m_dwPartialPathOffset = 0;
    // The next call of the same batch, delivered right after this one.
    CChangeNotification* m_pNext = nullptr;

    // The new name as AcceptNotification takes it: only a rename has one.
    const char* NewNameOrNull() const {
        return m_eFunctionToDispatch == NOTIFY_KIND_RENAMED ? m_strFileName2.c_str() : nullptr;
    }
};

class CDelayedDirectoryChangeHandler : public CDirectoryChangeHandler {
public:
    CDelayedDirectoryChangeHandler(CDirectoryChangeHandler* pRealHandler, bool bAppHasGui,
                                   const char* pszIncludeFilter, const char* pszExcludeFilter,
                                   DWORD dwFilterFlags);
    ~CDelayedDirectoryChangeHandler() override;

    // The watcher's calls: copied and posted, never waiting for the
    // real handler, except OnWatchStopped, which waits for its delivery.
    void OnFileAdded(const ByteString& strFileName) override;
    void OnFileRemoved(const ByteString& strFileName) override;
    void OnFileRenamed(const ByteString& strOldFileName, const ByteString& strNewFileName) override;
    void OnFileModified(const ByteString& strFileName) override;
    void OnWatchError(DWORD dwError, const ByteString& strDirectory) override;
    void OnWatchStarted(DWORD dwError, const ByteString& strDirectory) override;
    void OnWatchStopped(const ByteString& strDirectory) override;

    // Set once by the watch record: derives the partial path offset.
    void SetPartialPathOffset(const ByteString& strWatchedDirectory);
    // Called by the worker before each batch.
    void SetChangedDirectoryName(const ByteString& strDirectory);
    // Between these two calls (on the thread decoding the watch's reads),
    // file notifications are chained and posted as one message at the end:
    // one post per batch of reads instead of one per record.
    void BeginBatch();
    void EndBatch();

    // The health counters of the watched root; set once by the watch record.
    void SetHealth(CWatchHealth* pHealth) { m_pHealth = pHealth; }
    CWatchHealth* GetHealth() const { return m_pHealth; }
    // An event whose signal ends a wait for the delivery of OnWatchStopped at
    // once: the watcher's, set while it ends its worker. Owned by the caller,
    // which outlives every stop of this wrapper's watch.
    void SetStopWaitAbortEvent(HANDLE hAbort) { m_hStopWaitAbort = hAbort; }

    CDirectoryChangeHandler* GetRealChangeHandler() const;
    // Returns the previous real handler; the caller owns its reference.
    CDirectoryChangeHandler* SetRealDirectoryChangeHandler(CDirectoryChangeHandler* pHandler);

    // On the notification thread: filters and delivers a call (and the calls
    // chained behind it, in order), then frees them.
    static void DispatchNotification(CChangeNotification* pNotification);
    // Frees a notification (and its chain) that will never be dispatched.
    static void DiscardNotification(CChangeNotification* pNotification);

    // Exposed for tests: the filter stage applied before delivery.
    bool IsNotificationWanted(CChangeNotification* pNotification);
    bool IsNotificationWanted(CChangeNotification* pNotification,
                              CDirectoryChangeHandler* pRealHandler);
    DWORD GetPartialPathOffset() const { return m_dwPartialPathOffset; }

private:
    CChangeNotification* CreateNotification(long eKind, const ByteString& strName1,
                                            const ByteString* pName2, DWORD dwError);
    void PostNotification(CChangeNotification* pNotification);
    static void DispatchOne(CChangeNotification* pNotification);
    static void ExecuteGuarded(void* pNotification);
    static void DiscardOne(CChangeNotification* pNotification);
    void ExecuteNotification(CChangeNotification* pNotification);
    bool WaitForOnWatchStoppedDelivery();
    // The real handler with a reference of the caller's own, or empty.
    RefPtr<CDirectoryChangeHandler> AcquireRealHandler() const;
    bool PassesPatterns(const char* pszName) const;

    CDirectoryChangeHandler* m_pRealHandler;
    CDelayedNotifier* m_pDelayedNotifier;
    DWORD m_dwFilterFlags;
    DWORD m_dwPartialPathOffset;
    UniqueHandle m_hWatchStoppedDispatchedEvent;
    HANDLE m_hStopWaitAbort = nullptr;
    // Wildcard patterns; always empty in this system (the filter strings only
    // decide whether the matcher is prepared).
    std::vector<ByteString> m_vecIncludeFilter;
    std::vector<ByteString> m_vecExcludeFilter;
    // The batch being collected (the decoding thread, one at a time).
    bool m_bBatching;
    CChangeNotification* m_pBatchHead;
    CChangeNotification* m_pBatchTail;
    CWatchHealth* m_pHealth = nullptr;
    // Guards m_pRealHandler between the watch record and the dispatcher.
    // Taken alone.
    mutable CriticalSection m_csRealHandler;
};

}  // namespace tern

#endif
