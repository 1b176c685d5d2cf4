// The window thread: made again when gone, ended without being killed, the
// monitor handed to it when it outlives the wait, refused timers said, and two
// threads attaching one root leaving one watch. (That the window is there when
// monitoring starts straight after creation: every cycle of tests/component/UnloadTest.)
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "MonitorFixture.h"
#include "TestDrives.h"
#include "../../TernFileMon/common/Win32Handles.h"

namespace terntest {
namespace {

class WindowThread : public MonitorFixture {};

// A window that has gone is made again by the next device event, on the
// calling thread. Without its class it cannot be, and the timers the event
// would arm are refused: both are said, and no timer is counted as armed.
TEST_F(WindowThread, GoneWindowIsMadeAgainOrItsRefusedTimersAreSaid) {
    Start(FILEMON_USB);
    HANDLE hThread = Monitor().WindowThreadHandle();
    ::SendMessageA(Window(), WM_CLOSE, 0, 0);
    ASSERT_EQ(::WaitForSingleObject(hThread, 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(::IsWindow(Window()));
    tern::CFileMonitor::UnregisterWindowClass(tern::g_hInstance);
    ClearReportsAndLog();
    // Called here directly: the window that would have called it is gone.
    for (WPARAM nEvent : {static_cast<WPARAM>(DBT_CUSTOMEVENT),
                          static_cast<WPARAM>(DBT_DEVICEQUERYREMOVE)}) {
        EXPECT_TRUE(Monitor().OnDeviceChange(nEvent, 0));
    }
    EXPECT_TRUE(Logged("Create Windows Fail"));
    EXPECT_TRUE(HasLineStartingWith("SetTimer 94 failed, Error::"));
    EXPECT_TRUE(HasLineStartingWith("SetTimer 96 failed, Error::"));
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_CUSTOMEVENT), 0u);
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_QUERYREMOVE), 0u);

    ASSERT_NE(tern::CFileMonitor::RegisterWindowClass(tern::g_hInstance), 0);
    ClearReportsAndLog();
    EXPECT_TRUE(Monitor().OnDeviceChange(DBT_CUSTOMEVENT, 0));
    EXPECT_TRUE(Logged("Create Windows Success"));
    const HWND hNewWindow = Monitor().WindowHandle();
    EXPECT_TRUE(::IsWindow(hNewWindow));
    EXPECT_NE(hNewWindow, Window());
    // The monitor's end destroys the window made on this thread too.
    m_pObject.reset();
    EXPECT_FALSE(::IsWindow(hNewWindow));
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// Blocks the window thread inside its message retrieval while kBlockMessage
// is being fetched, until g_hRelease is set.
constexpr UINT kBlockMessage = WM_APP + 17;
tern::UniqueHandle g_hBlocked(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
tern::UniqueHandle g_hRelease(::CreateEventA(nullptr, TRUE, FALSE, nullptr));

LRESULT CALLBACK BlockOnMessage(int nCode, WPARAM wParam, LPARAM lParam) {
    const MSG* pMsg = reinterpret_cast<const MSG*>(lParam);
    if (nCode >= 0 && pMsg->message == kBlockMessage) {
        ::SetEvent(g_hBlocked.Get());
        ::WaitForSingleObject(g_hRelease.Get(), 20000);
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// A window thread that does not end within the bound is never killed: the
// owner goes, the thread keeps the monitor and deletes it when it ends.
TEST_F(WindowThread, ThreadThatOutlivesTheWaitIsLeftTheMonitorAndFreesIt) {
    Start(FILEMON_USB);
    HHOOK hHook = ::SetWindowsHookExA(WH_GETMESSAGE, BlockOnMessage, nullptr,
                                      Monitor().WindowThreadId());
    ASSERT_NE(hHook, nullptr) << ::GetLastError();
    HANDLE hThread = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), Monitor().WindowThreadHandle(),
                                  ::GetCurrentProcess(), &hThread, SYNCHRONIZE, FALSE, 0));
    const HWND hWnd = Window();
    ASSERT_TRUE(::PostMessageA(hWnd, kBlockMessage, 0, 0));
    ASSERT_EQ(::WaitForSingleObject(g_hBlocked.Get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));

    Monitor().SetWindowThreadEndWait(300);
    ClearReportsAndLog();
    const DWORD nStart = ::GetTickCount();
    m_pObject.reset();  // the owner lets go while the thread is stuck
    EXPECT_LT(::GetTickCount() - nStart, 5000u);
    EXPECT_TRUE(HasLineStartingWith("FileMon window thread did not end in 300 ms"));
    EXPECT_EQ(::WaitForSingleObject(hThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    const size_t nLinesAtHandOver = LogLines().size();

    ::SetEvent(g_hRelease.Get());
    EXPECT_EQ(::WaitForSingleObject(hThread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_TRUE(tern::g_pFileMonitor == nullptr);
    EXPECT_TRUE(tern::g_pWndMonitor == nullptr);
    // The owner's log went with the owner.
    EXPECT_EQ(LogLines().size(), nLinesAtHandOver);
    ::UnhookWindowsHookEx(hHook);
    ::CloseHandle(hThread);
}

// A host that lets go of the component from inside a log call on the window
// thread: the thread cannot wait for itself, so it keeps the monitor, ends,
// and deletes it.
std::unique_ptr<tern::CTernFileMon>* g_pOwnerToDrop = nullptr;
DWORD g_nDropOnThread = 0;

int TERN_CALLBACK DropOwnerOnCustomEvent(const std::string*, int, int, const char* pszText,
                                         unsigned int, int, int) {
    if (::GetCurrentThreadId() == g_nDropOnThread && std::string(pszText) == "DBT_CUSTOMEVENT") {
        g_pOwnerToDrop->reset();
    }
    return 0;
}

TEST_F(WindowThread, OwnerDroppedOnTheWindowThreadIsEndedThere) {
    Start(FILEMON_USB);
    HANDLE hThread = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), Monitor().WindowThreadHandle(),
                                  ::GetCurrentProcess(), &hThread, SYNCHRONIZE, FALSE, 0));
    const HWND hWnd = Window();
    g_pOwnerToDrop = &m_pObject;
    g_nDropOnThread = Monitor().WindowThreadId();
    m_pObject->RegisterHostFunction(TERN_HOSTFN_LOG,
                                    reinterpret_cast<TernHostFunction>(DropOwnerOnCustomEvent), 0);
    ::SendMessageA(hWnd, WM_DEVICECHANGE, DBT_CUSTOMEVENT, 0);
    EXPECT_EQ(::WaitForSingleObject(hThread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    ::CloseHandle(hThread);
    EXPECT_FALSE(m_pObject);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_TRUE(tern::g_pFileMonitor == nullptr);
    EXPECT_TRUE(tern::g_pWndMonitor == nullptr);
}

// Two threads attaching the same root at once leave one watch and one record.
TEST_F(WindowThread, RacingAttachesOfOneRootLeaveOneWatch) {
    auto attach = [this] {
        for (int i = 0; i < 20; ++i) Monitor().AddWatchRoot(RemovableDriveRoot(), &m_usbRules, true);
    };
    std::thread first(attach), second(attach);
    first.join();
    second.join();
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 1);
    EXPECT_EQ(RecordedRoots(), std::vector<std::string>{RemovableDriveRoot()});
}

}  // namespace
}  // namespace terntest
