#include "DirectoryChangeWatcher.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "DelayedDirectoryChangeHandler.h"
#include "DelayedNotifier.h"
#include "DirWatchInfo.h"
#include "Trace.h"

namespace tern {

using CDirWatchInfo = CDirectoryChangeWatcher::CDirWatchInfo;

namespace {

// What the worker thread is started with; the thread owns it.
struct WorkerStart {
    CDirectoryChangeWatcher* pWatcher;
    UniqueModule hModule;  // keeps this library loaded while the worker runs
};

DWORD WINAPI WorkerThreadEntry(LPVOID pParam) {
    WorkerStart* pStart = static_cast<WorkerStart*>(pParam);
    const HMODULE hModule = pStart->hModule.Release();
    CDirectoryChangeWatcher* pWatcher = pStart->pWatcher;
    delete pStart;
    MonitorDirectoryChanges(pWatcher);
    if (hModule != nullptr) ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

// Returns 0 or the Win32 error that kept the privilege from being enabled.
DWORD EnablePrivilege(const char* pszPrivilege) {
    HANDLE hRawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &hRawToken)) {
        return ::GetLastError();
    }
    UniqueHandle hToken(hRawToken);  // one owner from here on
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueA(nullptr, pszPrivilege, &privileges.Privileges[0].Luid)) {
        return ::GetLastError();
    }
    ::SetLastError(0);
    ::AdjustTokenPrivileges(hToken.Get(), FALSE, &privileges, 0, nullptr, nullptr);
    // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the
    // token lacks the privilege: only a clean last error counts.
    return ::GetLastError();
}

BOOL CALLBACK EnableWatchPrivileges(PINIT_ONCE, PVOID, PVOID*) {
    static const char* const s_apszPrivileges[] = {"SeBackupPrivilege", "SeRestorePrivilege",
                                                   "SeChangeNotifyPrivilege"};
    for (const char* pszPrivilege : s_apszPrivileges) {
        const DWORD dwError = EnablePrivilege(pszPrivilege);
        if (dwError != 0) TERN_TRACE_CODE("EnablePrivilege Fail:Error NO", dwError);
    }
    return TRUE;
}

INIT_ONCE g_oncePrivileges = INIT_ONCE_STATIC_INIT;

bool IsExistingDirectory(const ByteString& strDirectory) {
    const DWORD dwAttributes = ::GetFileAttributesA(strDirectory.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The first non-null record of the registry that bMatches accepts, with its
// index in nIndex; every further match is traced with pszDuplicate. The caller
// holds the registry lock.
template <typename Predicate>
CDirWatchInfo* FindFirstRecord(const std::vector<std::unique_ptr<CDirWatchInfo>>& vecRecords,
                               Predicate bMatches, const char* pszDuplicate, int& nIndex) {
    CDirWatchInfo* pFound = nullptr;
    for (size_t i = 0; i < vecRecords.size(); ++i) {
        CDirWatchInfo* pInfo = vecRecords.at(i).get();
        if (pInfo == nullptr || !bMatches(pInfo)) continue;
        if (pFound == nullptr) {
            pFound = pInfo;
            nIndex = static_cast<int>(i);
        } else {
            TERN_TRACE(pszDuplicate);
        }
    }
    return pFound;
}

// Destroys a record, giving back its handler's binding to pWatcher first
// (when given). Registry lock held when pWatcher is given.
void DestroyRecord(std::unique_ptr<CDirWatchInfo> pInfo, CDirectoryChangeWatcher* pWatcher) {
    if (pInfo == nullptr) return;
    if (pWatcher != nullptr) pInfo->ReleaseWatcherBinding(pWatcher);
    pInfo.reset();
}

}  // namespace

CDirectoryChangeWatcher::CDirectoryChangeWatcher(bool bHasGui, DWORD nFilterFlags)
    : m_hCompPort(nullptr),
      m_hThread(nullptr),
      m_dwThreadID(0),
      m_hEndingWorker(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_bHasGui(bHasGui),
      m_nFilterFlags(nFilterFlags == 0 ? FILTERS_DEFAULT_BEHAVIOR : nFilterFlags) {}

CDirectoryChangeWatcher::~CDirectoryChangeWatcher() {
    UnwatchAllDirectories();
    ScopedLock lifecycle(m_csLifecycle);
    // A worker that left on its own (an exception) is waited for before the
    // records it may have used go. An abandoned one still uses this object:
    // its memory cannot go before the worker has (see IsWorkerAbandoned).
    if (!JoinWorkerThread(m_dwWorkerExitWaitMs)) {
        TERN_TRACE("Watcher destroyed under a running worker: waiting for it without limit");
        ::WaitForSingleObject(m_hThreadOwner.Get(), INFINITE);
        m_hThreadOwner.Reset();
    }
    {
        // Left only when the worker had already gone: nothing can use these
        // records any more.
        ScopedLock lock(m_csDirWatchInfo);
        for (std::unique_ptr<CDirWatchInfo>& pInfo : m_DirectoriesToWatch) {
            DestroyRecord(std::move(pInfo), this);
        }
        m_DirectoriesToWatch.clear();
    }
    FreeOrphans();
    m_hThread = nullptr;
    ClosePort();
}

void CDirectoryChangeWatcher::ClosePort() {
    m_hCompPort = nullptr;
    m_hCompPortOwner.Reset();
}

void CDirectoryChangeWatcher::OnWorkerThreadStart() {}
void CDirectoryChangeWatcher::OnWorkerThreadExit() {}

DWORD CDirectoryChangeWatcher::WatchDirectory(const ByteString& strDirectory,
                                              DWORD dwChangesToWatchFor,
                                              CDirectoryChangeHandler* pHandler,
                                              BOOL bWatchSubtree, const char* pszInclude,
                                              const char* pszExclude) {
    if (dwChangesToWatchFor == 0) {
        TERN_TRACE("WatchDirectory  dwChangesToWatchFor is Zero");
        return ERROR_INVALID_PARAMETER;
    }
    if (strDirectory.empty() || pHandler == nullptr) {
        TERN_TRACE("WatchDirectory  dwChangesToWatchFor is NULL");
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsExistingDirectory(strDirectory)) {
        TERN_TRACE("WatchDirectory  IsDirectory is FALSE");
        ::SetLastError(ERROR_BAD_PATHNAME);
        return ERROR_BAD_PATHNAME;
    }
    ScopedLock lifecycle(m_csLifecycle);
    if (m_bWorkerAbandoned.load() && !FinishWorkerEnding(0)) {
        // The port still belongs to the worker of an earlier ending.
        TERN_TRACE("WatchDirectory  worker of the last ending still running");
        ::SetLastError(ERROR_BUSY);
        return ERROR_BUSY;
    }
    if (IsAlreadyWatched(strDirectory)) UnwatchDirectory(strDirectory);

    ::InitOnceExecuteOnce(&g_oncePrivileges, EnableWatchPrivileges, nullptr, nullptr);

    // Delete sharing is withheld on purpose: a watched directory cannot be
    // deleted or moved away under the watch.
    UniqueHandle hDir(::CreateFileA(strDirectory.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!hDir) return ::GetLastError();
    const HANDLE hDirForPort = hDir.Get();

    // Room for the record in the registry is made before the watch starts, so
    // that a started watch always finds its entry.
    std::unique_ptr<CDirWatchInfo> pInfo(new (std::nothrow) CDirWatchInfo(
        std::move(hDir), strDirectory, pHandler, dwChangesToWatchFor, bWatchSubtree, m_bHasGui,
        pszInclude, pszExclude, m_nFilterFlags));
    if (pInfo == nullptr || !ReserveRegistryEntry()) {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return ERROR_OUTOFMEMORY;
    }

    const HANDLE hPort = ::CreateIoCompletionPort(hDirForPort, m_hCompPort.load(),
                                                  reinterpret_cast<ULONG_PTR>(pInfo.get()), 0);
    if (hPort == nullptr) {
        // The port of the other watches is kept: they go on being served.
        const DWORD dwError = ::GetLastError();
        pInfo.reset();
        ::SetLastError(dwError);
        return dwError;
    }
    if (!m_hCompPortOwner) m_hCompPortOwner.Reset(hPort);  // the first watch made it
    m_hCompPort = hPort;

    if (m_hThread.load() == nullptr) {
        const DWORD dwError = StartWorkerThread();
        if (dwError != 0) {
            TERN_TRACE("DeleteSelf Tracer!");
            pInfo.reset();
            TERN_TRACE("WatchDirectory  AfxBeginThread is FALSE");
            return dwError;
        }
    }

    if (CDelayedDirectoryChangeHandler* pWrapper = pInfo->GetChangeHandler()) {
        pWrapper->SetStopWaitAbortEvent(m_hEndingWorker.Get());
    }
    const DWORD dwStartError = pInfo->StartMonitor(hPort);
    if (dwStartError != 0) {
        TERN_TRACE_CODE("WatchDirectory::: StartMonitor Fail::Error No", dwStartError);
        TERN_TRACE("DeleteSelf Tracer!");
        pInfo.reset();
        ::SetLastError(dwStartError);
        return dwStartError;
    }

    pHandler->ReferencesWatcher(this);
    AddToWatchInfo(std::move(pInfo));
    ::SetLastError(0);
    return 0;
}

DWORD CDirectoryChangeWatcher::StartWorkerThread() {
    WorkerStart* pStart = new (std::nothrow) WorkerStart{this, ReferenceModuleContaining(&g_oncePrivileges)};
    if (pStart == nullptr) return ERROR_OUTOFMEMORY;
    // Nothing can make the worker leave before its handle is stored here: it
    // leaves on the exit packet, which only EndWorkerThread posts, under the
    // lifecycle lock that the caller holds.
    DWORD dwThreadId = 0;
    const HANDLE hThread = ::CreateThread(nullptr, 0, WorkerThreadEntry, pStart, 0, &dwThreadId);
    if (hThread == nullptr) {
        const DWORD dwError = ::GetLastError();
        delete pStart;
        return dwError != 0 ? dwError : ERROR_MAX_THRDS_REACHED;
    }
    m_hThreadOwner.Reset(hThread);
    m_hThread = hThread;
    m_dwThreadID = dwThreadId;
    return 0;
}

bool CDirectoryChangeWatcher::ReserveRegistryEntry() {
    ScopedLock lock(m_csDirWatchInfo);
    for (const std::unique_ptr<CDirWatchInfo>& pEntry : m_DirectoriesToWatch) {
        if (pEntry == nullptr) return true;
    }
    try {
        m_DirectoriesToWatch.reserve(m_DirectoriesToWatch.size() + 1);
    } catch (const std::bad_alloc&) {
        TERN_TRACE("AddToWatchInfo out of memory");
        return false;
    }
    return true;
}

std::unique_ptr<CDirWatchInfo>& CDirectoryChangeWatcher::EntryAt(int nIndex) {
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_DirectoriesToWatch.size()) {
        throw std::invalid_argument("watch registry index out of range");
    }
    return m_DirectoriesToWatch[static_cast<size_t>(nIndex)];
}

BOOL CDirectoryChangeWatcher::AddToWatchInfo(std::unique_ptr<CDirWatchInfo> pWatchInfo) {
    ScopedLock lock(m_csDirWatchInfo);
    if (pWatchInfo == nullptr || pWatchInfo->GetDirectoryName().empty()) {
        TERN_TRACE("Add Invalid Dir Info??");
    }
    for (std::unique_ptr<CDirWatchInfo>& pEntry : m_DirectoriesToWatch) {
        if (pEntry == nullptr) {
            pEntry = std::move(pWatchInfo);
            return TRUE;
        }
    }
    // Within the room ReserveRegistryEntry made: no allocation, no throw.
    m_DirectoriesToWatch.push_back(std::move(pWatchInfo));
    return TRUE;
}

CDirWatchInfo* CDirectoryChangeWatcher::GetDirWatchInfo(const ByteString& strDirName,
                                                        int& nIndex) const {
    nIndex = -1;
    if (strDirName.empty()) {
        TERN_TRACE("GetDirWatchInfo strDirName is Empty");
        return nullptr;
    }
    ScopedLock lock(m_csDirWatchInfo);
    return FindFirstRecord(
        m_DirectoriesToWatch,
        [&](const CDirWatchInfo* pInfo) { return EqualsNoCase(pInfo->GetDirectoryName(), strDirName); },
        "GetDirWatchInfo strDirName Have Double Class Instances", nIndex);
}

CDirWatchInfo* CDirectoryChangeWatcher::GetDirWatchInfo(CDirWatchInfo* pWatchInfo,
                                                        int& nIndex) const {
    nIndex = -1;
    if (pWatchInfo == nullptr) {
        TERN_TRACE("GetDirWatchInfo pWatchInfo is NULL");
        return nullptr;
    }
    ScopedLock lock(m_csDirWatchInfo);
    return FindFirstRecord(
        m_DirectoriesToWatch, [&](const CDirWatchInfo* pInfo) { return pInfo == pWatchInfo; },
        "GetDirWatchInfo pWatchInfo is Double Found", nIndex);
}

CDirWatchInfo* CDirectoryChangeWatcher::GetDirWatchInfo(CDirectoryChangeHandler* pChangeHandler,
                                                        int& nIndex) const {
    nIndex = -1;
    if (pChangeHandler == nullptr) {
        TERN_TRACE("GetDirWatchInfo pWatchInfo is NULL");
        return nullptr;
    }
    ScopedLock lock(m_csDirWatchInfo);
    return FindFirstRecord(
        m_DirectoriesToWatch,
        [&](const CDirWatchInfo* pInfo) { return pInfo->GetRealChangeHandler() == pChangeHandler; },
        "GetDirWatchInfo pWatchInfo is Double Found", nIndex);
}

BOOL CDirectoryChangeWatcher::IsAlreadyWatched(const ByteString& strDirectory) {
    int nIndex = -1;
    return GetDirWatchInfo(strDirectory, nIndex) != nullptr;
}

int CDirectoryChangeWatcher::NumWatchedDirectories() {
    ScopedLock lock(m_csDirWatchInfo);
    int nCount = 0;
    for (const std::unique_ptr<CDirWatchInfo>& pInfo : m_DirectoriesToWatch) {
        if (pInfo != nullptr) ++nCount;
    }
    return nCount;
}

BOOL CDirectoryChangeWatcher::StopAndRemoveEntry(int nIndex) {
    std::unique_ptr<CDirWatchInfo>& pEntry = EntryAt(nIndex);
    const BOOL bStopped = pEntry->UnwatchDirectory(m_hCompPort.load());
    if (!bStopped) TERN_TRACE("UnwatchDirectory Fail");
    std::unique_ptr<CDirWatchInfo> pInfo = std::move(pEntry);
    if (bStopped) {
        DestroyRecord(std::move(pInfo), this);
        return TRUE;
    }
    // The worker may still hold this record: it is freed once the worker has
    // ended. Without room to keep it, it is let go unowned rather than freed
    // under the worker.
    try {
        m_Orphans.push_back(std::move(pInfo));
    } catch (const std::bad_alloc&) {
        TERN_TRACE("Unconfirmed watch record kept unowned: out of memory");
        pInfo.release();
    }
    return FALSE;
}

BOOL CDirectoryChangeWatcher::UnwatchDirectory(const ByteString& strDirectory) {
    if (m_hCompPort.load() == nullptr) {
        TERN_TRACE("UnwatchDirectory m_hCompPort is NULL");
        return FALSE;
    }
    if (strDirectory.empty()) {
        TERN_TRACE("UnwatchDirectory strDir is NULL");
        return TRUE;
    }
    try {
        ScopedLock lock(m_csDirWatchInfo);
        int nIndex = -1;
        if (GetDirWatchInfo(strDirectory, nIndex) == nullptr) {
            TERN_TRACE("GetDirWatchInfo Fail when unwatch Dir");
            return FALSE;
        }
        StopAndRemoveEntry(nIndex);
        return TRUE;
    } catch (...) {
        TERN_TRACE("EC on Unwatch Dir");
        return FALSE;
    }
}

BOOL CDirectoryChangeWatcher::UnwatchDirectory(CDirectoryChangeHandler* pHandler) {
    if (pHandler == nullptr) {
        TERN_TRACE("UnwatchDirectory pChangeHandler NULL!");
        return FALSE;
    }
    try {
        ScopedLock lock(m_csDirWatchInfo);
        int nFound = 0;
        int nIndex = -1;
        while (GetDirWatchInfo(pHandler, nIndex) != nullptr) {
            ++nFound;
            StopAndRemoveEntry(nIndex);
        }
        return nFound > 0 ? TRUE : FALSE;
    } catch (...) {
        TERN_TRACE("EC on Unwatch Dir");
        return FALSE;
    }
}

BOOL CDirectoryChangeWatcher::UnwatchAllDirectories() {
    {
        ScopedLock lifecycle(m_csLifecycle);
        if (m_hThread.load() == nullptr) {
            // An abandoned worker that has left since: its ending is finished now.
            if (m_bWorkerAbandoned.load()) FinishWorkerEnding(0);
            ScopedLock lock(m_csDirWatchInfo);
            for (const std::unique_ptr<CDirWatchInfo>& pInfo : m_DirectoriesToWatch) {
                if (pInfo != nullptr) TERN_TRACE("UnwatchAllDirectories m_DirectoriesToWatch Not NULL!");
            }
            return FALSE;
        }
        if (m_hCompPort.load() == nullptr) {
            TERN_TRACE("UnwatchAllDirectories m_hCompPort NULL!");
            return FALSE;
        }
        StopAllEntries();
        EndWorkerThread();
    }
    // Outside the lifecycle lock: a callback still being delivered may start
    // or stop watches of its own meanwhile.
    if (!m_bHasGui) CDelayedNotificationThread::Flush(m_dwNotificationDrainMs);
    return TRUE;
}

void CDirectoryChangeWatcher::StopAllEntries() {
    ScopedLock lock(m_csDirWatchInfo);
    const int nCount = static_cast<int>(m_DirectoriesToWatch.size());
    for (int i = 0; i < nCount; ++i) {
        const CDirWatchInfo* pInfo = m_DirectoriesToWatch[static_cast<size_t>(i)].get();
        if (pInfo == nullptr) continue;
        TERN_TRACE(("UnwatchDirectory  " + pInfo->GetDirectoryName()).c_str());
        StopAndRemoveEntry(i);
    }
    m_DirectoriesToWatch.clear();
}

void CDirectoryChangeWatcher::EndWorkerThread() {
    const HANDLE hPort = m_hCompPort.load();
    if (m_hEndingWorker) ::SetEvent(m_hEndingWorker.Get());
    if (!::PostQueuedCompletionStatus(hPort, 0, 0, nullptr)) {
        // Without its exit packet the worker is woken by the port going away:
        // it finds no port and leaves the same way.
        TERN_TRACE_CODE("Worker exit packet not posted", ::GetLastError());
        ClosePort();
    }
    FinishWorkerEnding(m_dwWorkerExitWaitMs);
}

bool CDirectoryChangeWatcher::FinishWorkerEnding(DWORD dwWaitMs) {
    if (!JoinWorkerThread(dwWaitMs)) {
        // The worker keeps the port, its exit packet, the ending event (its
        // waits stay cut short) and the unconfirmed records until it leaves.
        m_bWorkerAbandoned = true;
        return false;
    }
    m_bWorkerAbandoned = false;
    if (m_hEndingWorker) ::ResetEvent(m_hEndingWorker.Get());
    m_hThread = nullptr;
    m_dwThreadID = 0;
    ClosePort();
    TERN_TRACE("UnwatchAllDirectories m_hCompPort Set To NULL!");
    FreeOrphans();
    return true;
}

bool CDirectoryChangeWatcher::JoinWorkerThread(DWORD dwWaitMs) {
    if (!m_hThreadOwner) return true;
    if (::WaitForSingleObject(m_hThreadOwner.Get(), dwWaitMs) != WAIT_OBJECT_0) {
        if (dwWaitMs > 0) TERN_TRACE("UnwatchAllDirectories WaitForSingleObject TimeOut!");
        return false;
    }
    m_hThreadOwner.Reset();
    return true;
}

void CDirectoryChangeWatcher::FreeOrphans() {
    ScopedLock lock(m_csDirWatchInfo);
    for (std::unique_ptr<CDirWatchInfo>& pInfo : m_Orphans) DestroyRecord(std::move(pInfo), this);
    m_Orphans.clear();
}

BOOL CDirectoryChangeWatcher::UnwatchDirectoryBecauseOfError(CDirWatchInfo* pWatchInfo) {
    if (pWatchInfo == nullptr) return FALSE;
    ScopedLock lock(m_csDirWatchInfo);
    int nIndex = -1;
    if (GetDirWatchInfo(pWatchInfo, nIndex) == nullptr) return FALSE;
    DestroyRecord(std::move(EntryAt(nIndex)), this);
    return TRUE;
}

}  // namespace tern
