// The hidden window "FileMon": its class, its thread, and its end with the monitor.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <memory>

#include "MonitorFixture.h"

namespace terntest {
namespace {

class DeviceWindow : public MonitorFixture {};

TEST_F(DeviceWindow, HiddenWindowOfItsClassRunsOnAThreadOfItsOwn) {
    EXPECT_EQ(::FindWindowA("FileMonWindowClass", "FileMon"), Window());
    EXPECT_FALSE(::IsWindowVisible(Window()));
    EXPECT_EQ(::GetParent(Window()), nullptr);
    EXPECT_EQ(::GetWindowThreadProcessId(Window(), nullptr), Monitor().WindowThreadId());
    EXPECT_NE(Monitor().WindowThreadId(), ::GetCurrentThreadId());
    EXPECT_EQ(::WaitForSingleObject(Monitor().WindowThreadHandle(), 0),
              static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(tern::g_pWndMonitor == &Monitor());
    // Starting again while the thread runs keeps the one thread and window.
    const HANDLE hThread = Monitor().WindowThreadHandle();
    EXPECT_TRUE(Monitor().StartWindowThread());
    EXPECT_EQ(Monitor().WindowThreadHandle(), hThread);
    EXPECT_EQ(Monitor().WindowHandle(), Window());

    // The class belongs to the process's main module, not to a library.
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    ASSERT_TRUE(::GetClassInfoExA(::GetModuleHandleA(nullptr), "FileMonWindowClass", &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_STREQ(wc.lpszMenuName, "FileMon");
    EXPECT_TRUE(tern::g_hInstance == ::GetModuleHandleA(nullptr));
}

TEST_F(DeviceWindow, NoWindowWithoutOwnerAndNoLogWithoutLogFunction) {
    m_pObject.reset();
    ClearLog();
    {
        tern::CFileMonitor orphan(nullptr);
        EXPECT_FALSE(orphan.CreateMonitorWindow());
        EXPECT_EQ(orphan.WindowHandle(), nullptr);
        orphan.StopFileMonitor(FILEMON_USB);  // nothing at all without an owner
    }
    // An object whose host registered no log function works all the same.
    auto pObject = std::make_unique<tern::CTernFileMon>();
    ASSERT_TRUE(WaitUntil([&] { return pObject->FileMonitor()->WindowHandle() != nullptr; }, 2000));
    pObject.reset();
    EXPECT_TRUE(LoggedLines().empty());
}

TEST_F(DeviceWindow, AWindowThatHasGoneIsMadeAgainByTheNextDeviceEvent) {
    HANDLE hThread = Monitor().WindowThreadHandle();
    ::SendMessageA(Window(), WM_CLOSE, 0, 0);
    ASSERT_EQ(::WaitForSingleObject(hThread, 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(::IsWindow(Window()));

    // Called here directly: the window that would have called it is gone.
    // Without its class the window cannot be made.
    tern::CFileMonitor::UnregisterWindowClass(tern::g_hInstance);
    EXPECT_TRUE(Monitor().OnDeviceChange(DBT_CUSTOMEVENT, 0));
    EXPECT_EQ(LoggedLines(), (std::vector<std::string>{"OnDeviceChange ----Create Windows",
                                                       "Create Windows Fail"}));
    ClearLog();
    EXPECT_NE(tern::CFileMonitor::RegisterWindowClass(tern::g_hInstance), 0);
    EXPECT_TRUE(Monitor().OnDeviceChange(DBT_CUSTOMEVENT, 0));
    EXPECT_EQ(LoggedLines(), (std::vector<std::string>{"OnDeviceChange ----Create Windows",
                                                       "Create Windows Success"}));
    EXPECT_TRUE(::IsWindow(Monitor().WindowHandle()));
    EXPECT_NE(Monitor().WindowHandle(), Window());

    // The new window lives on this thread; the monitor's end destroys it too.
    const HWND hNewWindow = Monitor().WindowHandle();
    m_pObject.reset();
    EXPECT_FALSE(::IsWindow(hNewWindow));
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST_F(DeviceWindow, DestroyingTheMonitorEndsItsThreadAndWindow) {
    HANDLE hThread = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), Monitor().WindowThreadHandle(),
                                  ::GetCurrentProcess(), &hThread, SYNCHRONIZE, FALSE, 0));
    const HWND hWnd = Window();
    m_pObject.reset();
    EXPECT_EQ(::WaitForSingleObject(hThread, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ::CloseHandle(hThread);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_EQ(::FindWindowA("FileMonWindowClass", "FileMon"), nullptr);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    EXPECT_FALSE(::GetClassInfoExA(::GetModuleHandleA(nullptr), "FileMonWindowClass", &wc));
    EXPECT_TRUE(tern::g_pWndMonitor == nullptr);
    EXPECT_TRUE(tern::g_pFileMonitor == nullptr);
}

TEST_F(DeviceWindow, DeviceEventsBeforeAnyStartAreOnlyLogged) {
    for (char chLetter : {'E', 'D', 'Q'}) {
        SendVolumeEvent(DBT_DEVICEARRIVAL, chLetter);
        SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, chLetter);
    }
    SendDeviceEvent(DBT_DEVICEQUERYREMOVE, nullptr);
    SendDeviceEvent(DBT_CUSTOMEVENT, nullptr);
    EXPECT_EQ(LoggedLines(), std::vector<std::string>(8, "OnDeviceChange"));
    for (UINT_PTR nTimer : {tern::TIMER_NEWDISK, tern::TIMER_CUSTOMEVENT, tern::TIMER_REMOVE,
                            tern::TIMER_QUERYREMOVE}) {
        EXPECT_EQ(Monitor().ArmedTimerPeriod(nTimer), 0u) << nTimer;
    }
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    EXPECT_TRUE(RecordedRoots().empty());
}

}  // namespace
}  // namespace terntest
