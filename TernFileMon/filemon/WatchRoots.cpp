// Attaching and detaching the drive roots ("E:\" style), each watched with
// its whole subtree and a handler of its own.
#include "../DirectoryChanges/DirectoryChangeHandler.h"
#include "../policy/PolicyHandler.h"
#include "FileMonitor.h"
#include "RecordedRoots.h"

namespace tern {

namespace {

// File and directory names, attributes and sizes.
constexpr DWORD kRootChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                    FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE;

}  // namespace

// Each root gets a policy handler of its own, which reports the root's changes
// against the rule list it was attached with.
CDirectoryChangeHandler* CFileMonitor::CreateRootHandler(FileMonRuleList* pRuleList) {
    CDirectoryChangeHandler_Policy* pHandler = new CDirectoryChangeHandler_Policy();
    pHandler->m_pRuleList = pRuleList;
    return pHandler;
}

int CFileMonitor::AddWatchRoot(const ByteString& strRoot, FileMonRuleList* pRuleList,
                               bool bRecord) {
    if (strRoot.empty()) return 0;
    if (pRuleList == nullptr) Log("pFilterList is NULL");
    CDirectoryChangeHandler* pHandler = CreateRootHandler(pRuleList);
    // An existing watch of the same root is replaced, handler and all.
    DWORD dwResult = 0;
    try {
        dwResult = m_DirWatcher.WatchDirectory(strRoot, kRootChangeFilter, pHandler, TRUE, "*", "");
    } catch (...) {
        pHandler->Release();
        throw;
    }
    int nResult = 0;
    if (dwResult != 0) {
        Log(" Monitor Failure");
        Log(strRoot);
    } else {
        if (bRecord) g_arrRecordedRoots.Append(strRoot);
        nResult = 1;
    }
    // From here on the watch, if any, holds the only reference.
    try {
        pHandler->Release();
    } catch (...) {
    }
    return nResult;
}

bool CFileMonitor::AddRootForType(ByteString strRoot, int nType) {
    if (nType == FILEMON_USB) {
        AddWatchRoot(strRoot, m_pUsbRuleList, true);
    } else if (nType == FILEMON_LOCAL) {
        AddWatchRoot(strRoot, m_pLocalRuleList, false);
    }
    return true;
}

bool CFileMonitor::AddDriveRoot(const char* pDriveLetter) {
    if (pDriveLetter == nullptr) return true;
    const ByteString strRoot = FormatTruncated(MAX_PATH, "%c:\\", pDriveLetter[0]);
    if (m_DirWatcher.IsAlreadyWatched(strRoot)) return true;
    if (m_pUsbRuleList != nullptr) AddWatchRoot(strRoot, m_pUsbRuleList, true);
    return true;
}

bool CFileMonitor::RewatchRemovableDrives() {
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    for (const ByteString& strRoot : lstRemovable) {
        UnwatchIfWatched(strRoot);
        if (m_pUsbRuleList != nullptr) AddWatchRoot(strRoot, m_pUsbRuleList, true);
    }
    return true;
}

void CFileMonitor::RewatchRemovableDrivesLocked() {
    ScopedLock lock(m_csRewatch);
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    if (lstRemovable.empty()) return;
    g_arrRecordedRoots.RemoveAll();
    for (const ByteString& strRoot : lstRemovable) AddWatchRoot(strRoot, m_pUsbRuleList, true);
}

void CFileMonitor::RewatchAllDrives() {
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    for (const ByteString& strRoot : lstLocal) {
        UnwatchIfWatched(strRoot);
        if (m_pLocalRuleList != nullptr) AddWatchRoot(strRoot, m_pLocalRuleList, false);
    }
    for (const ByteString& strRoot : lstRemovable) {
        UnwatchIfWatched(strRoot);
        if (m_pUsbRuleList != nullptr) AddWatchRoot(strRoot, m_pUsbRuleList, true);
    }
}

void CFileMonitor::UnwatchAllDrives() {
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    UnwatchListIfWatched(lstRemovable);
    UnwatchRecordedRoots();
    UnwatchListIfWatched(lstLocal);
}

// The array may change under the walk (the host's thread attaches roots too):
// each step reads the current size and works on a copy of the entry.
void CFileMonitor::UnwatchRecordedRoots() {
    ByteString strRoot;
    for (size_t i = 0; g_arrRecordedRoots.GetAt(i, strRoot); ++i) UnwatchIfWatched(strRoot);
    g_arrRecordedRoots.RemoveAll();
}

void CFileMonitor::UnwatchIfWatched(const ByteString& strRoot) {
    if (m_DirWatcher.IsAlreadyWatched(strRoot)) m_DirWatcher.UnwatchDirectory(strRoot);
}

void CFileMonitor::UnwatchListIfWatched(const DriveRootList& lstRoots) {
    for (const ByteString& strRoot : lstRoots) UnwatchIfWatched(strRoot);
}

}  // namespace tern
