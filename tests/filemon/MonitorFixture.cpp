#include "MonitorFixture.h"

#include <algorithm>

#include "../../TernFileMon/filemon/RecordedRoots.h"

namespace terntest {

size_t CountLogged(const std::string& strLine) {
    const std::vector<std::string> arrLines = LogLines();
    return static_cast<size_t>(std::count(arrLines.begin(), arrLines.end(), strLine));
}

bool HasLineStartingWith(const std::string& strPrefix) {
    for (const std::string& strLine : LogLines()) {
        if (strLine.rfind(strPrefix, 0) == 0) return true;
    }
    return false;
}

bool WaitForLogged(const std::string& strLine, size_t nCount, DWORD nTimeoutMs) {
    return WaitUntil([&] { return CountLogged(strLine) >= nCount; }, nTimeoutMs);
}

void TERN_CALLBACK IgnoreEvent(FileMonEvent*) {}

bool IsHeldOpen(const std::string& strRoot) {
    HANDLE hRoot = ::CreateFileA(strRoot.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hRoot == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
    ::CloseHandle(hRoot);
    return false;
}

std::vector<std::string> RecordedRoots() { return tern::g_arrRecordedRoots.Snapshot(); }

void MonitorFixture::SetUp() {
    tern::g_arrRecordedRoots.RemoveAll();
    m_pObject = std::make_unique<tern::CTernFileMon>();
    ASSERT_TRUE(m_pObject->IsInitialized());
    ASSERT_EQ(m_pObject->RegisterHostFunction(TERN_HOSTFN_LOG,
                                              reinterpret_cast<TernHostFunction>(RecordLog), 0),
              0);
    Monitor().SetTimerDivisor(kTimerDivisor);
    ASSERT_TRUE(WaitUntil([this] { return Monitor().WindowHandle() != nullptr; }, 2000));
    m_hWnd = Monitor().WindowHandle();
    // Answered only once the window thread is in its loop, past its own log line.
    ::SendMessageA(m_hWnd, WM_NULL, 0, 0);
    ClearReportsAndLog();
}

void MonitorFixture::TearDown() {
    m_pObject.reset();
    tern::g_arrRecordedRoots.RemoveAll();
}

std::vector<std::string> MonitorFixture::WatchedRoots() {
    std::vector<std::string> roots;
    for (char chLetter = 'A'; chLetter <= 'Z'; ++chLetter) {
        const std::string strRoot = std::string(1, chLetter) + ":\\";
        if (IsWatched(strRoot)) roots.push_back(strRoot);
    }
    return roots;
}

void MonitorFixture::Start(int nType) {
    FileMonFilterList* pFilter = nType == FILEMON_USB ? &m_usbFilter : &m_localFilter;
    m_pObject->StartMonitoring(IgnoreEvent, pFilter);
}

bool MonitorFixture::AnyTimerArmed() {
    for (UINT_PTR nTimer : {tern::TIMER_NEWDISK, tern::TIMER_CUSTOMEVENT, tern::TIMER_REMOVE,
                            tern::TIMER_QUERYREMOVE}) {
        if (Monitor().ArmedTimerPeriod(nTimer) != 0) return true;
    }
    return false;
}

void MonitorFixture::SendVolumeEvent(WPARAM nEvent, char chLetter) {
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (chLetter - 'A');
    SendDeviceEvent(nEvent, &volume);
}

void MonitorFixture::SendDeviceEvent(WPARAM nEvent, const void* pData) {
    HWND hWnd = ::FindWindowA("FileMonWindowClass", "FileMon");
    ASSERT_EQ(hWnd, m_hWnd);
    ::SendMessageA(hWnd, WM_DEVICECHANGE, nEvent, reinterpret_cast<LPARAM>(pData));
}

}  // namespace terntest
