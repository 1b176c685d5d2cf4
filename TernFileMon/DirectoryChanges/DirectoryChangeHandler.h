// CDirectoryChangeHandler: the reference-counted receiver of directory changes.
// Derived handlers override the slots they care about; the watcher calls them
// (through its deferring wrapper) on the one notification thread.
#ifndef TERNFILEMON_DIRECTORYCHANGES_DIRECTORYCHANGEHANDLER_H
#define TERNFILEMON_DIRECTORYCHANGES_DIRECTORYCHANGEHANDLER_H

#include <windows.h>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"

namespace tern {

class CDirectoryChangeWatcher;

class CDirectoryChangeHandler {
public:
    // The creator owns the initial reference (count 1).
    CDirectoryChangeHandler();
    CDirectoryChangeHandler(const CDirectoryChangeHandler&) = delete;
    CDirectoryChangeHandler& operator=(const CDirectoryChangeHandler&) = delete;

    long AddRef();
    // Deletes the handler when the count reaches 0.
    long Release();

    // Stops every watch that still uses this handler.
    virtual ~CDirectoryChangeHandler();

    // The slots, in this order. File names are full paths in code page 936.
    virtual void OnFileAdded(const ByteString& strFileName);
    virtual void OnFileRemoved(const ByteString& strFileName);
    virtual void OnFileRenamed(const ByteString& strOldFileName, const ByteString& strNewFileName);
    virtual void OnFileModified(const ByteString& strFileName);
    virtual void OnWatchError(DWORD dwError, const ByteString& strDirectory);
    virtual void OnWatchStarted(DWORD dwError, const ByteString& strDirectory);
    virtual void OnWatchStopped(const ByteString& strDirectory);
    // dwAction: 1 added, 2 removed, 3 modified, 4 rename (pszNewName only for 4).
    virtual bool AcceptNotification(DWORD dwAction, const char* pszName, const char* pszNewName);

    // Binding to the one watcher whose watches use this handler. A handler
    // passed to a second watcher first loses its watches on the first.
    long ReferencesWatcher(CDirectoryChangeWatcher* pWatcher);
    long ReleaseReferenceToWatcher(CDirectoryChangeWatcher* pWatcher);
    BOOL UnwatchDirectory();

    // The watched directory whose batch is being decoded. Written on the
    // thread that decodes the watch's reads (the watcher's decoding thread, or
    // its worker); a handler that reads it elsewhere must guard it itself.
    void SetChangedDirectoryName(const ByteString& strDirectory);
    const ByteString& GetChangedDirectoryName() const { return m_strChangedDirectoryName; }

    // For tests and diagnostics.
    long GetReferenceCount() const { return m_nRefCount; }
    long GetWatcherReferenceCount() const;
    CDirectoryChangeWatcher* GetWatcher() const;

private:
    volatile LONG m_nRefCount;
    ByteString m_strChangedDirectoryName;
    CDirectoryChangeWatcher* m_pDirChangeWatcher;
    volatile LONG m_nWatcherRefCount;
    // Guards m_pDirChangeWatcher and m_nWatcherRefCount. Lock order: a watcher's
    // registry lock may be held when this lock is taken (record destruction
    // releases its watcher reference), never the other way round: the handler
    // drops this lock before it calls into a watcher.
    mutable CriticalSection m_csWatcher;
};

}  // namespace tern

#endif
