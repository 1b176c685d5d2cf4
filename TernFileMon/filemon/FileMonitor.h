// CFileMonitor: starts and stops the monitor types, decides which drive roots
// are watched, and follows device arrival and removal through a hidden window
// that lives on a thread of its own.
#ifndef TERNFILEMON_FILEMON_FILEMONITOR_H
#define TERNFILEMON_FILEMON_FILEMONITOR_H

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <functional>
#include <vector>

#include "../DirectoryChanges/DirectoryChangeWatcher.h"
#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../common/Win32Handles.h"
#include "../include/TernFileMon.h"

namespace tern {

class CDirectoryChangeHandler;
class CDirectoryChangeHandler_Policy;

// Where the monitor's log lines go (the owner's component log). An empty
// function means the monitor has no owner: it then logs nothing, makes no
// window and stops nothing.
typedef std::function<void(const char* pszText)> MonitorLogFunction;
// Makes the handler of one root, attached with the given rule list, holding
// one reference for the caller. Empty: a plain CDirectoryChangeHandler.
typedef std::function<CDirectoryChangeHandler*(FileMonRuleList* pRuleList)> RootHandlerFactory;

// Drive roots ("E:\" style) in the order the system lists the drives.
typedef std::vector<ByteString> DriveRootList;

// One-shot timers of the hidden window; each handler kills its own timer first.
enum : UINT_PTR {
    TIMER_NEWDISK = 92,
    TIMER_CUSTOMEVENT = 94,
    TIMER_REMOVE = 95,
    TIMER_QUERYREMOVE = 96,
};

enum : UINT {
    NEWDISK_FIRST_DELAY_MS = 10000,
    NEWDISK_RETRY_DELAY_MS = 3000,
    NEWDISK_RETRY_LIMIT = 15,
    CUSTOMEVENT_DELAY_MS = 3000,
    REMOVE_DELAY_MS = 3000,
    QUERYREMOVE_DELAY_PER_ROOT_MS = 20000,
};

class CFileMonitor {
public:
    explicit CFileMonitor(MonitorLogFunction fnLog, RootHandlerFactory fnMakeHandler = nullptr);
    // Ends the window thread (if Dispose has not) and stops every watch.
    ~CFileMonitor();
    // How an owner whose monitor has a window thread lets go of it: ends the
    // thread within a bound and deletes the monitor. When the thread does not
    // end in time, the thread is left the monitor and deletes it itself when
    // it ends; its module reference keeps the library loaded until then.
    // Likewise, a watcher worker that does not end within its bound is left
    // the monitor, which is then never freed.
    static void Dispose(CFileMonitor* pMonitor);
    CFileMonitor(const CFileMonitor&) = delete;
    CFileMonitor& operator=(const CFileMonitor&) = delete;

    // Monitor types (the host's thread).
    void StartFileMonitor(FileMonCallback pFunction, FileMonFilterList* pFilterList, int nType);
    void StopFileMonitor(int nType);

    // Watch roots.
    int AddWatchRoot(const ByteString& strRoot, FileMonRuleList* pRuleList, bool bRecord);
    bool AddRootForType(ByteString strRoot, int nType);
    bool AddDriveRoot(const char* pDriveLetter);
    bool RewatchRemovableDrives();
    void RewatchRemovableDrivesLocked();
    void RewatchAllDrives();
    void UnwatchAllDrives();
    void UnwatchRecordedRoots();

    // Drive discovery.
    void CollectDrives(DriveRootList* pLocalList, DriveRootList* pRemovableList) const;
    static bool IsUsbDisk(const char* pszLetter);
    static bool QueryDeviceDescriptor(HANDLE hVolume, STORAGE_DEVICE_DESCRIPTOR* pDescriptor);
    // Keeps one registration per drive letter: registering a root again
    // replaces its earlier registration, so repeated events hold no more.
    int RegisterVolumeNotification(HWND hWnd, const char* pszRoot, bool bRegister);
    static char FirstDriveFromMask(DWORD nUnitMask);
    // The TIMER_QUERYREMOVE delay for the given number of removable roots.
    static UINT QueryRemoveDelay(size_t nRemovableRoots);

    // The hidden window "FileMon" and the thread that owns it. Returns once the
    // thread has made its window or given up (bounded wait).
    bool StartWindowThread();
    static ATOM RegisterWindowClass(HINSTANCE hInstance);
    static void UnregisterWindowClass(HINSTANCE hInstance);
    bool CreateMonitorWindow();
    // Waits (bounded) until the window thread has made its window or given
    // up; true when the window exists.
    bool WaitForWindow() const;
    BOOL OnDeviceChange(WPARAM nEventType, LPARAM dwData);
    HWND WindowHandle() const { return m_hWnd.load(); }
    HANDLE WindowThreadHandle() const { return m_hWindowThread.Get(); }
    DWORD WindowThreadId() const { return m_nWindowThreadId; }

    // Timer periods as the device logic asked for them, before any scaling:
    // the period last armed for a timer id, 0 once its handler has run.
    UINT ArmedTimerPeriod(UINT_PTR nTimerId) const;
    // Divides every timer period (at least 1 ms remains), so that tests see
    // the delayed actions run without waiting the full delays. 1 in service.
    void SetTimerDivisor(UINT nDivisor);
    // How long ending the window thread waits for it (30 s in service).
    void SetWindowThreadEndWait(DWORD nMs) { m_nWindowThreadEndWaitMs = nMs; }

    // Writes to the owner's component log; nothing when there is no owner.
    void Log(const char* pszText) const;
    bool HasOwner() const { return static_cast<bool>(m_fnLog) && !m_bLogDetached.load(); }
    void Log(const ByteString& strText) const { Log(strText.c_str()); }

    // Rule matching (policy/RuleMatcher.cpp)
    // True when a rule accepts the event; its tag is then in the event's
    // strRuleTag. bUsbSide chooses FILEMON_USB (events on a recorded root)
    // or FILEMON_LOCAL (all others) and that side's rule list.
    bool MatchHandlerEvent(CDirectoryChangeHandler_Policy* pHandler, bool bUsbSide);
    // With nRootGate 1 as MatchHandlerEvent; with any other gate the given
    // list is used and the drives are not looked at.
    bool MatchModifyEvent(FileMonEvent* pEvent, FileMonRuleList* pRuleList, bool bUsbSide,
                          int nRootGate);
    // The host's own query: events on a recorded root only, first rule wins.
    bool MatchEvent(FileMonRuleList* pRuleList, FileMonEvent* pEvent);
    // MatchPattern of regex.dll beside the host executable, loaded on first
    // use; null while the library or its export is missing (tried again then).
    typedef int(__cdecl* MatchPatternFunction)(const char* pszPattern, const char* pszText);
    MatchPatternFunction LoadMatchPattern();
    // Filled once, under m_csMatchPattern; read by any thread without it.
    std::atomic<MatchPatternFunction> m_pfnMatchPattern{nullptr};
    // Declared before the watcher so that it is freed after the last notification.
    UniqueModule m_hRegexModule;
    CriticalSection m_csMatchPattern;  // innermost: only LoadLibrary runs inside it
    // End of rule matching

    // Written by the host's and the window thread, read by the policy handlers
    // and the rule matcher on other threads: each one published atomically.
    std::atomic<FileMonCallback> m_pfnUsbCallback{nullptr};
    std::atomic<FileMonCallback> m_pfnLocalCallback{nullptr};
    std::atomic<FileMonRuleList*> m_pUsbRuleList{nullptr};
    std::atomic<FileMonRuleList*> m_pLocalRuleList{nullptr};
    CDirectoryChangeWatcher m_DirWatcher;

private:
    static DWORD WINAPI WindowThreadProc(LPVOID pParam);
    DWORD RunWindowThread();
    void LeaveWindowThread();
    static LRESULT CALLBACK FileMonWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static void LogCaught(CFileMonitor* pMonitor, const char* pszWhere);
    // True once the thread has ended (or there is none); false when the bound ran out.
    bool EndWindowThread();
    // The destruction's work, done once: Dispose runs it before it decides
    // whether the monitor may be freed.
    void Shutdown();
    bool m_bShutDown = false;
    bool IsClosing() const { return m_bClosing.load(); }
    // A root that is watched and recorded needs nothing more from an arrival.
    bool IsAttachedUsbRoot(const ByteString& strRoot);

    void OnTimer(UINT_PTR nTimerId);
    void OnNewDiskTimer();
    void OnCustomEventTimer();
    void OnVolumeArrival(char chLetter);
    void OnQueryRemove();
    void OnVolumeRemoveComplete(char chLetter);
    void OnCustomEvent();
    // False (logged) when the system refused the timer: its action will not run.
    bool ArmTimer(UINT_PTR nTimerId, UINT nPeriodMs);
    void DisarmTimer(UINT_PTR nTimerId);

    // The least handler the watcher accepts, one per attached root.
    CDirectoryChangeHandler* CreateRootHandler(FileMonRuleList* pRuleList) const;
    void UnwatchIfWatched(const ByteString& strRoot);
    void UnwatchListIfWatched(const DriveRootList& lstRoots);

    const MonitorLogFunction m_fnLog;
    const RootHandlerFactory m_fnMakeHandler;
    // Set when the owner (and so the log) goes before the window thread ends.
    std::atomic<bool> m_bLogDetached{false};
    // Serialises every change of the set of roots (attach, detach, record) and
    // the notification registrations, from the host's threads and the window
    // thread alike. Lock order: m_csRewatch, then the watcher's locks, then
    // g_arrRecordedRoots' own lock. Re-entered by the rewatch operations.
    CriticalSection m_csRewatch;
    // Written by the window thread, read by the other threads.
    std::atomic<HWND> m_hWnd{nullptr};
    std::atomic<bool> m_bWindowCreated{false};
    std::atomic<bool> m_bThreadRunning{false};
    // Set when the monitor starts going away: device actions stop between roots.
    std::atomic<bool> m_bClosing{false};
    UniqueHandle m_hWindowThread;
    DWORD m_nWindowThreadId = 0;
    // Set by the window thread once its window exists or cannot be made.
    UniqueHandle m_hWindowReady;
    // Who deletes the monitor: its owner, or the window thread when the owner
    // stopped waiting for it (Dispose).
    enum : int { WINDOW_THREAD_RUNNING, WINDOW_THREAD_FINISHED, WINDOW_THREAD_ORPHANED };
    std::atomic<int> m_nWindowThreadState{WINDOW_THREAD_FINISHED};
    // The window thread's own reference to this library, given back as it exits.
    HMODULE m_hThreadModule = nullptr;
    char m_szPendingDrive[MAX_PATH] = {};
    // One registration per drive letter A: to Z:, under m_csRewatch.
    UniqueDevNotify m_arrNotifications[26];

    std::atomic<UINT> m_arrArmedPeriods[5] = {};
    std::atomic<UINT> m_nTimerDivisor{1};
    // Once the monitor is closing, a device action stops before its next root,
    // so the thread has at most one watch to stop (5 s) and one log call left.
    std::atomic<DWORD> m_nWindowThreadEndWaitMs{30000};
};

// The process-wide file monitor (one per process; the newest takes over).
extern CFileMonitor* g_pFileMonitor;
// The module handle of the host's executable: window class and window use it.
extern HINSTANCE g_hInstance;
// The file monitor the window procedure works on; set when the window is created.
extern CFileMonitor* g_pWndMonitor;
// Failed registrations of newly arrived volumes, counted across arrivals.
extern LONG g_nNewDiskRetries;

}  // namespace tern

#endif
