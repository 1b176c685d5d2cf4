// A component object with its file monitor, its log recorded line by line,
// and its timers sped up, for the file monitor's tests.
#ifndef TERNFILEMON_TESTS_FILEMON_MONITORFIXTURE_H
#define TERNFILEMON_TESTS_FILEMON_MONITORFIXTURE_H

#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HostSession.h"
#include "WaitUntil.h"
#include "../../TernFileMon/component/TernFileMonObject.h"
#include "../../TernFileMon/filemon/FileMonitor.h"

namespace terntest {

// Timers run this many times faster than in service: 20 s become 200 ms.
constexpr UINT kTimerDivisor = 100;

// Everything the component logs, from any thread: LogLines() and
// ClearReportsAndLog() of the host fixture, and:
size_t CountLogged(const std::string& strLine);
bool HasLineStartingWith(const std::string& strPrefix);
// Waits up to nTimeoutMs for the log to hold nCount lines equal to strLine.
bool WaitForLogged(const std::string& strLine, size_t nCount, DWORD nTimeoutMs);

void TERN_CALLBACK IgnoreEvent(FileMonEvent* pEvent);

// Whether some handle holds the root open: an exclusive open fails while one does.
bool IsHeldOpen(const std::string& strRoot);

// The recorded roots, in order.
std::vector<std::string> RecordedRoots();

class MonitorFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    tern::CFileMonitor& Monitor() { return *m_pObject->FileMonitor(); }
    HWND Window() const { return m_hWnd; }
    bool IsWatched(const std::string& strRoot) {
        return Monitor().m_DirWatcher.IsAlreadyWatched(strRoot) != FALSE;
    }
    // The drive roots that the watcher holds, in letter order.
    std::vector<std::string> WatchedRoots();

    void Start(int nType);
    bool AnyTimerArmed();
    // Returns once the window thread has finished what it was doing (a timer
    // action that has begun runs to its end first).
    void SyncWithWindow() { ::SendMessageA(m_hWnd, WM_NULL, 0, 0); }
    // Sends a volume event for one drive letter to the "FileMon" window and
    // returns once the window has handled it.
    void SendVolumeEvent(WPARAM nEvent, char chLetter);
    void SendDeviceEvent(WPARAM nEvent, const void* pData);

    std::unique_ptr<tern::CTernFileMon> m_pObject;
    HWND m_hWnd = nullptr;
    FileMonRuleList m_usbRules;
    FileMonRuleList m_localRules;
    FileMonFilterList m_usbFilter = {FILEMON_USB, &m_usbRules};
    FileMonFilterList m_localFilter = {FILEMON_LOCAL, &m_localRules};
};

}  // namespace terntest

#endif
