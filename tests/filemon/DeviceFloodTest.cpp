// Any process can send WM_DEVICECHANGE to the "FileMon" window: floods of
// forged arrivals and removals and malformed records, sent to the window found
// by its class and title, must leave one watch and one record per root, cost
// a bounded amount per message, and leave reports on the drive flowing.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../TernFileMon/common/CriticalSection.h"
#include "MonitorFixture.h"
#include "TestDrives.h"
#include "TestFiles.h"

using Roots = std::vector<std::string>;

namespace terntest {
namespace {

constexpr int kForgedArrivals = 2000;
constexpr int kForgedRemovals = 200;

tern::CriticalSection g_csReports;
std::vector<std::string> g_reports;  // "<action> <path>"

void TERN_CALLBACK RecordReport(FileMonEvent* pEvent) {
    tern::ScopedLock lock(g_csReports);
    g_reports.push_back(pEvent->strAction + " " + pEvent->strPath);
}

bool HasReport(const std::string& strReport) {
    tern::ScopedLock lock(g_csReports);
    return std::find(g_reports.begin(), g_reports.end(), strReport) != g_reports.end();
}

class DeviceFlood : public MonitorFixture {
protected:
    void SetUp() override {
        MonitorFixture::SetUp();
        m_usbRules.push_back(FileMonRule{"flood.txt", "", "Add", "flood"});
        m_pObject->StartMonitoring(RecordReport, &m_usbFilter);
        m_hTarget = ::FindWindowA("FileMonWindowClass", "FileMon");
    }
    void SendRecord(WPARAM nEvent, const void* pRecord) {
        ::SendMessageA(m_hTarget, WM_DEVICECHANGE, nEvent, reinterpret_cast<LPARAM>(pRecord));
    }
    bool Settled() {
        for (UINT_PTR nTimer : {tern::TIMER_NEWDISK, tern::TIMER_CUSTOMEVENT, tern::TIMER_REMOVE,
                                tern::TIMER_QUERYREMOVE}) {
            if (Monitor().ArmedTimerPeriod(nTimer) != 0) return false;
        }
        SyncWithWindow();
        return true;
    }
    void ExpectOneWatchPerRoot() {
        EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
        EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
        EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 3);
    }
    HWND m_hTarget = nullptr;
};

// A volume record whose header claims the volume type but whose size covers
// only the header, placed at the very end of readable memory: reading the
// unit mask behind it faults.
class ShortRecordAtPageEnd {
public:
    ShortRecordAtPageEnd() {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        m_nPage = info.dwPageSize;
        m_pBase = static_cast<char*>(
            ::VirtualAlloc(nullptr, 2 * m_nPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD nOld = 0;
        if (m_pBase != nullptr) ::VirtualProtect(m_pBase + m_nPage, m_nPage, PAGE_NOACCESS, &nOld);
    }
    ~ShortRecordAtPageEnd() {
        if (m_pBase != nullptr) ::VirtualFree(m_pBase, 0, MEM_RELEASE);
    }
    const DEV_BROADCAST_HDR* Header(DWORD nType) {
        auto* pHeader =
            reinterpret_cast<DEV_BROADCAST_HDR*>(m_pBase + m_nPage - sizeof(DEV_BROADCAST_HDR));
        pHeader->dbch_size = sizeof(DEV_BROADCAST_HDR);
        pHeader->dbch_devicetype = nType;
        pHeader->dbch_reserved = 0;
        return pHeader;
    }
    bool IsValid() const { return m_pBase != nullptr; }

private:
    char* m_pBase = nullptr;
    DWORD m_nPage = 0;
};

TEST_F(DeviceFlood, ForgedMessagesLeaveOneWatchPerRootAndReportsFlowing) {
    ASSERT_NE(m_hTarget, nullptr);
    ExpectOneWatchPerRoot();
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (RemovableDriveRoot()[0] - 'A');

    for (int i = 0; i < kForgedArrivals; ++i) SendRecord(DBT_DEVICEARRIVAL, &volume);
    ExpectOneWatchPerRoot();

    // Malformed records: none, short headers (faulting if read past), types
    // the events are not about, masks naming no drive or every drive.
    ShortRecordAtPageEnd shortRecord;
    ASSERT_TRUE(shortRecord.IsValid());
    DEV_BROADCAST_VOLUME noDrive = volume;
    noDrive.dbcv_unitmask = 0;
    DEV_BROADCAST_VOLUME everyDrive = volume;
    everyDrive.dbcv_unitmask = 0xFFFFFFFFu;
    DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    DEV_BROADCAST_VOLUME claimsLess = volume;
    claimsLess.dbcv_size = sizeof(DEV_BROADCAST_HDR);
    for (WPARAM nEvent : {static_cast<WPARAM>(DBT_DEVICEARRIVAL),
                          static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE)}) {
        SendRecord(nEvent, nullptr);
        SendRecord(nEvent, shortRecord.Header(DBT_DEVTYP_VOLUME));
        SendRecord(nEvent, &port);
        SendRecord(nEvent, &claimsLess);
        SendRecord(nEvent, &noDrive);
    }
    SendRecord(DBT_DEVICEARRIVAL, &everyDrive);  // the first drive, A:, which cannot be opened
    // The system's dispatch may swallow a fault in the window procedure; called
    // directly, a read past the short record would end this program.
    for (WPARAM nEvent : {static_cast<WPARAM>(DBT_DEVICEARRIVAL),
                          static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE)}) {
        EXPECT_TRUE(Monitor().OnDeviceChange(
            nEvent, reinterpret_cast<LPARAM>(shortRecord.Header(DBT_DEVTYP_VOLUME))));
    }
    ASSERT_TRUE(WaitUntil([&] { return Settled(); }, 15000));
    ExpectOneWatchPerRoot();

    // Forged removals detach the recorded roots and re-arm one timer; a flood
    // of them does no more than one would, and the timers bring the root back.
    for (int i = 0; i < kForgedRemovals; ++i) {
        SendRecord(DBT_DEVICEREMOVECOMPLETE, &volume);
        SendRecord(DBT_DEVICEQUERYREMOVE, &volume);
    }
    EXPECT_TRUE(RecordedRoots().empty());
    for (int i = 0; i < kForgedArrivals / 10; ++i) SendRecord(DBT_DEVICEARRIVAL, &volume);
    ASSERT_TRUE(WaitUntil([&] { return Settled(); }, 15000));
    ExpectOneWatchPerRoot();

    // Reports on the drive still arrive, once each.
    const std::string strFolder = MakeFreshFolder(RemovableDriveRoot(), "flood");
    const std::string strFile = strFolder + "\\flood.txt";
    ASSERT_TRUE(WriteTextFile(strFile, "x"));
    EXPECT_TRUE(WaitUntil([&] { return HasReport("Add " + strFile); }, 5000));
    RemoveTree(strFolder);
}

}  // namespace
}  // namespace terntest
