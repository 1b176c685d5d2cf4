#include "FileMonitor.h"

#include "../component/TernFileMonObject.h"
#include "RecordedRoots.h"

namespace tern {

CFileMonitor* g_pFileMonitor = nullptr;
HINSTANCE g_hInstance = nullptr;

CFileMonitor::CFileMonitor(CTernFileMon* pOwner) : m_DirWatcher(false, 8) {
    g_pFileMonitor = this;
    g_hInstance = ::GetModuleHandleA(nullptr);
    RegisterWindowClass(g_hInstance);
    m_pOwner = pOwner;
}

// The window thread is ended first, so that no device event touches a monitor
// that is going away and nothing runs on once a host unloads the library.
// The watches are stopped before g_pFileMonitor lets go of this object, so
// that handlers reaching the monitor through it find it alive or not at all.
// regex.dll (m_hRegexModule, a member) is freed after the watcher, once no
// notification can still be matching.
CFileMonitor::~CFileMonitor() {
    try {
        EndWindowThread();
        m_pUsbRuleList = nullptr;
        m_pfnUsbCallback = nullptr;
        m_pLocalRuleList = nullptr;
        // The window is gone, so its class can go too.
        UnregisterWindowClass(g_hInstance);
        g_hInstance = nullptr;
        m_pOwner = nullptr;
        m_DirWatcher.UnwatchAllDirectories();
    } catch (...) {
        // Destruction goes on.
    }
    if (g_pFileMonitor == this) g_pFileMonitor = nullptr;
}

void CFileMonitor::Log(const char* pszText) const {
    if (m_pOwner != nullptr) m_pOwner->WriteLog(pszText, 1);
}

// Whatever the type, the local disks are attached: the rule matcher decides
// per change, by the recorded roots, which type's rules apply.
void CFileMonitor::StartFileMonitor(FileMonCallback pFunction, FileMonFilterList* pFilterList,
                                    int nType) {
    if (pFilterList == nullptr || pFunction == nullptr) {
        Log("StartFileMonitor pFilterList or pFunction is NULL");
        return;
    }
    try {
        g_pFileMonitor = this;
        DriveRootList lstLocal;
        DriveRootList lstRemovable;
        CollectDrives(&lstLocal, &lstRemovable);
        for (const ByteString& strRoot : lstLocal) {
            Log(strRoot);
            AddWatchRoot(strRoot, pFilterList->pRuleList, false);
            RegisterVolumeNotification(m_hWnd.load(), strRoot.c_str(), true);
        }
        if (nType == FILEMON_LOCAL) {
            m_pLocalRuleList = pFilterList->pRuleList;
            m_pfnLocalCallback = pFunction;
        } else if (nType == FILEMON_USB) {
            g_arrRecordedRoots.RemoveAll();
            m_pUsbRuleList = pFilterList->pRuleList;
            m_pfnUsbCallback = pFunction;
            for (const ByteString& strRoot : lstRemovable) {
                Log(strRoot);
                AddWatchRoot(strRoot, m_pUsbRuleList, true);
                RegisterVolumeNotification(m_hWnd.load(), strRoot.c_str(), true);
            }
        } else {
            Log("unknow file monitor type");
        }
    } catch (...) {
        Log("Start File Monitor Exception");
    }
}

// Stopping leaves the callbacks set, so device events go on being followed.
void CFileMonitor::StopFileMonitor(int nType) {
    if (m_pOwner == nullptr) return;
    try {
        Log("Enter Stop FileMonitor");
        DriveRootList lstLocal;
        DriveRootList lstRemovable;
        CollectDrives(&lstLocal, &lstRemovable);
        if (nType == FILEMON_LOCAL) {
            for (const ByteString& strRoot : lstLocal) {
                if (m_DirWatcher.IsAlreadyWatched(strRoot)) {
                    m_DirWatcher.UnwatchDirectory(strRoot);
                    Log(strRoot);
                }
            }
            Log("Enter Stop FileMonitor OK");
        } else if (nType == FILEMON_USB) {
            for (const ByteString& strRoot : lstRemovable) {
                if (m_DirWatcher.IsAlreadyWatched(strRoot)) {
                    m_DirWatcher.UnwatchDirectory(strRoot);
                    Log(strRoot);
                }
            }
            ByteString strRoot;
            for (size_t i = 0; g_arrRecordedRoots.GetAt(i, strRoot); ++i) {
                if (m_DirWatcher.IsAlreadyWatched(strRoot)) {
                    m_DirWatcher.UnwatchDirectory(strRoot);
                    Log(strRoot);
                }
            }
            g_arrRecordedRoots.RemoveAll();
            m_pUsbRuleList = nullptr;
            Log("Enter Stop FILEMON_USB OK");
        } else if (nType == FILEMON_ALL) {
            UnwatchAllDrives();
        }
        Log("Enter Stop END");
    } catch (...) {
        Log("Stop FileMonitor Exception");
    }
}

}  // namespace tern
