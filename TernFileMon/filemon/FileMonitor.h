// CFileMonitor: owns the hidden device window and its thread, and holds, per
// monitor type, the host's callback and rule list.
#ifndef TERNFILEMON_FILEMON_FILEMONITOR_H
#define TERNFILEMON_FILEMON_FILEMONITOR_H

#include <windows.h>

#include <atomic>

#include "../common/CriticalSection.h"
#include "../common/Win32Handles.h"
#include "../include/TernFileMon.h"

namespace tern {

class CTernFileMon;
class CDirectoryChangeHandler_Policy;

class CFileMonitor {
public:
    explicit CFileMonitor(CTernFileMon* pOwner);
    ~CFileMonitor();
    CFileMonitor(const CFileMonitor&) = delete;
    CFileMonitor& operator=(const CFileMonitor&) = delete;

    // Monitor types (called by the component object on the host's thread).
    void StartFileMonitor(FileMonCallback pFunction, FileMonFilterList* pFilterList, int nType);
    void StopFileMonitor(int nType);
    bool AddDriveRoot(const char* pDriveLetter);

    // The hidden window "FileMon" and the thread that owns it.
    bool StartWindowThread();
    static ATOM RegisterWindowClass(HINSTANCE hInstance);
    static void UnregisterWindowClass(HINSTANCE hInstance);
    bool CreateMonitorWindow();
    HWND WindowHandle() const { return m_hWnd.load(); }
    HANDLE WindowThreadHandle() const { return m_hWindowThread; }

    // Writes to the owner's component log; nothing when there is no owner.
    void Log(const char* pszText) const;

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

    // Read by the policy handlers and the rule matcher without a lock.
    FileMonCallback m_pfnUsbCallback = nullptr;
    FileMonCallback m_pfnLocalCallback = nullptr;
    FileMonRuleList* m_pUsbRuleList = nullptr;
    FileMonRuleList* m_pLocalRuleList = nullptr;

private:
    static DWORD WINAPI WindowThreadProc(LPVOID pParam);
    static LRESULT CALLBACK FileMonWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    void EndWindowThread();

    // Written by the window thread, read by the thread that destroys the monitor.
    std::atomic<HWND> m_hWnd{nullptr};
    std::atomic<bool> m_bWindowCreated{false};
    std::atomic<bool> m_bThreadRunning{false};
    HANDLE m_hWindowThread = nullptr;
    DWORD m_nWindowThreadId = 0;
    CTernFileMon* m_pOwner = nullptr;
};

// The process-wide file monitor (one per process; the newest takes over).
extern CFileMonitor* g_pFileMonitor;
// The module handle of the host's executable: window class and window use it.
extern HINSTANCE g_hInstance;
// The file monitor the window procedure works on; set when the window is created.
extern CFileMonitor* g_pWndMonitor;

}  // namespace tern

#endif
