#include "DirectoryChangeHandler.h"

#include "../common/DebugOutput.h"
#include "DirectoryChangeWatcher.h"
#include "Trace.h"

namespace tern {

CDirectoryChangeHandler::CDirectoryChangeHandler()
    : m_nRefCount(1), m_pDirChangeWatcher(nullptr), m_nWatcherRefCount(0) {}

CDirectoryChangeHandler::~CDirectoryChangeHandler() {
    try {
        UnwatchDirectory();
        ScopedLock lock(m_csWatcher);
        m_pDirChangeWatcher = nullptr;
    } catch (...) {
        // Deliberately outside the trace gate: a failing destructor is worth
        // seeing even when tracing is off.
        WriteDebugLine("Catch Exception when CDirectoryChangeHandler");
    }
}

long CDirectoryChangeHandler::AddRef() { return ::InterlockedIncrement(&m_nRefCount); }

long CDirectoryChangeHandler::Release() {
    const long nCount = ::InterlockedDecrement(&m_nRefCount);
    if (nCount == 0) delete this;
    return nCount;
}

void CDirectoryChangeHandler::OnFileAdded(const ByteString&) {}
void CDirectoryChangeHandler::OnFileRemoved(const ByteString&) {}
void CDirectoryChangeHandler::OnFileRenamed(const ByteString&, const ByteString&) {}
void CDirectoryChangeHandler::OnFileModified(const ByteString&) {}
void CDirectoryChangeHandler::OnWatchError(DWORD, const ByteString&) {}
void CDirectoryChangeHandler::OnWatchStarted(DWORD, const ByteString&) {}
void CDirectoryChangeHandler::OnWatchStopped(const ByteString&) {}

bool CDirectoryChangeHandler::AcceptNotification(DWORD, const char*, const char*) { return true; }

void CDirectoryChangeHandler::SetChangedDirectoryName(const ByteString& strDirectory) {
    m_strChangedDirectoryName = strDirectory;
}

long CDirectoryChangeHandler::GetWatcherReferenceCount() const {
    ScopedLock lock(m_csWatcher);
    return m_nWatcherRefCount;
}

CDirectoryChangeWatcher* CDirectoryChangeHandler::GetWatcher() const {
    ScopedLock lock(m_csWatcher);
    return m_pDirChangeWatcher;
}

long CDirectoryChangeHandler::ReferencesWatcher(CDirectoryChangeWatcher* pWatcher) {
    if (pWatcher == nullptr) {
        TERN_TRACE("pDirChangeWatcher is NULL, When ReferencesWatcher");
        return 0;
    }
    bool bBoundElsewhere = false;
    {
        ScopedLock lock(m_csWatcher);
        if (m_pDirChangeWatcher == nullptr || m_pDirChangeWatcher == pWatcher) {
            m_pDirChangeWatcher = pWatcher;
            return ::InterlockedIncrement(&m_nWatcherRefCount);
        }
        bBoundElsewhere = true;
    }
    // The old watcher's registry lock must not be taken under this lock (the
    // registry releases watcher references under its own lock).
    if (bBoundElsewhere && !UnwatchDirectory()) {
        TERN_TRACE("UnwatchDirectory Fail When ReferencesWatcher");
        ScopedLock lock(m_csWatcher);
        return m_nWatcherRefCount;
    }
    ScopedLock lock(m_csWatcher);
    m_pDirChangeWatcher = pWatcher;
    ::InterlockedExchange(&m_nWatcherRefCount, 1);
    return 1;
}

long CDirectoryChangeHandler::ReleaseReferenceToWatcher(CDirectoryChangeWatcher* pWatcher) {
    try {
        ScopedLock lock(m_csWatcher);
        if (m_pDirChangeWatcher != pWatcher) {
            TERN_TRACE("ReleaseReferenceToWatcher Not Equal");
            return m_nWatcherRefCount;
        }
        const long nCount = ::InterlockedDecrement(&m_nWatcherRefCount);
        if (nCount < 1) {
            TERN_TRACE("ReleaseReferenceToWatcher Set NULL");
            m_pDirChangeWatcher = nullptr;
            ::InterlockedExchange(&m_nWatcherRefCount, 0);
        }
        return nCount;
    } catch (...) {
        TERN_TRACE("EC on ReleaseReferenceToWatcher");
        return 0;
    }
}

BOOL CDirectoryChangeHandler::UnwatchDirectory() {
    try {
        CDirectoryChangeWatcher* pWatcher = nullptr;
        {
            ScopedLock lock(m_csWatcher);
            pWatcher = m_pDirChangeWatcher;
        }
        if (pWatcher == nullptr) {
            TERN_TRACE("UnwatchDirectory m_pDirChangeWatcher NULL!");
            return FALSE;
        }
        return pWatcher->UnwatchDirectory(this);
    } catch (...) {
        TERN_TRACE("EC on UnwatchDirectory!");
        return FALSE;
    }
}

}  // namespace tern
