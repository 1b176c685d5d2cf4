// Attaching and detaching the drive roots ("E:\" style), each watched with
// its whole subtree and a handler of its own.

#include "../DirectoryChanges/DirectoryChangeHandler.h"
#include "../common/RefPtr.h"
#include "FileMonitor.h"
#include "RecordedRoots.h"

namespace tern {

namespace {

// File and directory names, attributes and sizes.
constexpr DWORD kRootChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                    FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE;

}  // namespace

// Each root gets a handler of its own, made by the owner's factory (the event
// policy in the component), which reports the root's changes against the rule
// list it was attached with.
CDirectoryChangeHandler* CFileMonitor::CreateRootHandler(FileMonRuleList* pRuleList) const {
    if (m_fnMakeHandler) return m_fnMakeHandler(pRuleList);
    return new CDirectoryChangeHandler();
}

// Under m_csRewatch, so that two threads attaching the same root one after the
// other leave one watch (the second replaces the first) and one record.
int CFileMonitor::AddWatchRoot(const ByteString& strRoot, FileMonRuleList* pRuleList,
                               bool bRecord) {
    if (strRoot.empty()) return 0;
    ScopedLock lock(m_csRewatch);
    if (IsClosing()) {
        Log(" Monitor Failure");
        Log(strRoot);
        return 0;
    }
    if (pRuleList == nullptr) Log("pFilterList is NULL");
    // The maker's reference, held until the watch has taken its own.
    const RefPtr<CDirectoryChangeHandler> pHandler =
        RefPtr<CDirectoryChangeHandler>::Adopt(CreateRootHandler(pRuleList));
    if (!pHandler) {
        Log(" Monitor Failure");
        Log(strRoot);
        return 0;
    }
    // An existing watch of the same root is replaced, handler and all.
    const DWORD dwResult =
        m_DirWatcher.WatchDirectory(strRoot, kRootChangeFilter, pHandler.Get(), TRUE, "*", "");
    if (dwResult != 0) {
        Log(" Monitor Failure");
        Log(strRoot);
        return 0;
    }
    if (bRecord) g_arrRecordedRoots.Append(strRoot);
    // The watch now holds its own reference; this one goes with pHandler.
    return 1;
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
    ScopedLock lock(m_csRewatch);
    const ByteString strRoot = FormatTruncated(MAX_PATH, "%c:\\", pDriveLetter[0]);
    if (m_DirWatcher.IsAlreadyWatched(strRoot)) return true;
    if (m_pUsbRuleList.load() != nullptr) AddWatchRoot(strRoot, m_pUsbRuleList, true);
    return true;
}

bool CFileMonitor::RewatchRemovableDrives() {
    ScopedLock lock(m_csRewatch);
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    for (const ByteString& strRoot : lstRemovable) {
        if (IsClosing()) break;
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
    for (const ByteString& strRoot : lstRemovable) {
        if (IsClosing()) break;
        AddWatchRoot(strRoot, m_pUsbRuleList, true);
    }
}

void CFileMonitor::RewatchAllDrives() {
    ScopedLock lock(m_csRewatch);
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    for (const ByteString& strRoot : lstLocal) {
        if (IsClosing()) return;
        UnwatchIfWatched(strRoot);
        if (m_pLocalRuleList != nullptr) AddWatchRoot(strRoot, m_pLocalRuleList, false);
    }
    for (const ByteString& strRoot : lstRemovable) {
        if (IsClosing()) return;
        UnwatchIfWatched(strRoot);
        if (m_pUsbRuleList != nullptr) AddWatchRoot(strRoot, m_pUsbRuleList, true);
    }
}

void CFileMonitor::UnwatchAllDrives() {
    ScopedLock lock(m_csRewatch);
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
    ScopedLock lock(m_csRewatch);
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
