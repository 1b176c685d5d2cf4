#include "FileMonitor.h"

#include <utility>

#include "RecordedRoots.h"

namespace tern {

CFileMonitor* g_pFileMonitor = nullptr;
HINSTANCE g_hInstance = nullptr;

CFileMonitor::CFileMonitor(MonitorLogFunction fnLog, RootHandlerFactory fnMakeHandler)
    : m_DirWatcher(false, 8), m_fnLog(std::move(fnLog)), m_fnMakeHandler(std::move(fnMakeHandler)) {
    g_pFileMonitor = this;
    g_hInstance = ::GetModuleHandleA(nullptr);
    RegisterWindowClass(g_hInstance);
}

// The window thread is ended first, so that no device event touches a monitor
// that is going away and nothing runs on once a host unloads the library.
// The watches are stopped before g_pFileMonitor lets go of this object, so
// that handlers reaching the monitor through it find it alive or not at all.
// regex.dll (m_hRegexModule, a member) is freed after the watcher, once no
// notification can still be matching.
// Nothing here throws: the steps are Win32 calls and the watcher's own
// stopping, which catches at its own boundaries.
CFileMonitor::~CFileMonitor() { Shutdown(); }

void CFileMonitor::Shutdown() {
    if (m_bShutDown) return;
    m_bShutDown = true;
    EndWindowThread();
    m_pUsbRuleList = nullptr;
    m_pfnUsbCallback = nullptr;
    m_pLocalRuleList = nullptr;
    // The window is gone, so its class and registrations can go too.
    UnregisterWindowClass(g_hInstance);
    g_hInstance = nullptr;
    {
        ScopedLock lock(m_csRewatch);
        for (UniqueDevNotify& hNotify : m_arrNotifications) hNotify.Reset();
    }
    m_DirWatcher.UnwatchAllDirectories();
    if (g_pFileMonitor == this) g_pFileMonitor = nullptr;
}

void CFileMonitor::Dispose(CFileMonitor* pMonitor) {
    if (pMonitor == nullptr) return;
    if (!pMonitor->EndWindowThread()) {
        int nState = WINDOW_THREAD_RUNNING;
        // Still running: from now on the thread deletes the monitor as it ends.
        // The owner, and with it the log, goes when this returns; a log call
        // the thread has already begun is the one thing left to chance.
        pMonitor->m_bLogDetached = true;
        if (pMonitor->m_nWindowThreadState.compare_exchange_strong(nState,
                                                                   WINDOW_THREAD_ORPHANED)) {
            return;
        }
        // It finished in the meantime and touches the monitor no more.
    }
    pMonitor->Shutdown();
    if (pMonitor->m_DirWatcher.IsWorkerAbandoned()) {
        // The watcher's worker outlasted its bound and still uses the watcher
        // inside this monitor: the monitor is never freed, so that the worker
        // finds what it uses until it leaves (it keeps the library loaded
        // until then). Nothing else refers to it any more.
        pMonitor->Log("Watcher worker did not end in time: the file monitor is left to it");
        pMonitor->m_bLogDetached = true;
        return;
    }
    delete pMonitor;
}

void CFileMonitor::Log(const char* pszText) const {
    if (m_fnLog && pszText != nullptr && !m_bLogDetached.load()) m_fnLog(pszText);
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
        // Right after construction the window may still be on its way; the
        // notifications below need it.
        WaitForWindow();
        ScopedLock lock(m_csRewatch);
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
    } catch (const std::exception& e) {
        Log("Start File Monitor Exception");
        Log(e.what());
    } catch (...) {
        Log("Start File Monitor Exception");
    }
}

// Stopping leaves the callbacks set, so device events go on being followed.
void CFileMonitor::StopFileMonitor(int nType) {
    if (!HasOwner()) return;
    try {
        ScopedLock lock(m_csRewatch);
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
    } catch (const std::exception& e) {
        Log("Stop FileMonitor Exception");
        Log(e.what());
    } catch (...) {
        Log("Stop FileMonitor Exception");
    }
}

}  // namespace tern
