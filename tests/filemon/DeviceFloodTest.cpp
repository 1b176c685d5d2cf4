// Any process can send WM_DEVICECHANGE to the "FileMon" window: floods of
// forged arrivals and removals and malformed records, sent to the window found
// by its class and title, must leave one watch and one record per root, cost
// a bounded amount per message, and leave reports on the drive flowing.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MonitorFixture.h"
#include "TestDrives.h"
#include "TestFiles.h"

using Roots = std::vector<std::string>;

namespace terntest {
namespace {

constexpr int kForgedArrivals = 2000;
constexpr int kForgedRemovals = 200;

class DeviceFlood : public MonitorFixture {
protected:
    void SetUp() override {
        MonitorFixture::SetUp();
        m_usbRules.push_back(FileMonRule{"flood.txt", "", "Add", "flood"});
        m_pObject->StartMonitoring(RecordUsbReport, &m_usbFilter);
    }
    bool Settled() {
        if (AnyTimerArmed()) return false;
        SyncWithWindow();
        return true;
    }
    void ExpectOneWatchPerRoot() {
        EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
        EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
        EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 3);
    }
};

// A volume record whose header claims the volume type but whose size covers
// only the header, placed at the very end of readable memory: reading the
// unit mask behind it faults. The two pages stay reserved until the program ends.
const DEV_BROADCAST_HDR* ShortVolumeRecordAtPageEnd() {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    char* pBase = static_cast<char*>(
        ::VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD nOld = 0;
    if (pBase == nullptr || !::VirtualProtect(pBase + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &nOld)) {
        return nullptr;
    }
    auto* pHeader = reinterpret_cast<DEV_BROADCAST_HDR*>(pBase + info.dwPageSize - sizeof(DEV_BROADCAST_HDR));
    *pHeader = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    return pHeader;
}

TEST_F(DeviceFlood, ForgedMessagesLeaveOneWatchPerRootAndReportsFlowing) {
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (RemovableDriveRoot()[0] - 'A');

    for (int i = 0; i < kForgedArrivals; ++i) SendDeviceEvent(DBT_DEVICEARRIVAL, &volume);
    ExpectOneWatchPerRoot();

    // Malformed records: none, short headers (faulting if read past), types
    // the events are not about, masks naming no drive or every drive.
    const DEV_BROADCAST_HDR* pShortRecord = ShortVolumeRecordAtPageEnd();
    ASSERT_NE(pShortRecord, nullptr);
    DEV_BROADCAST_VOLUME noDrive = volume;
    noDrive.dbcv_unitmask = 0;
    DEV_BROADCAST_VOLUME everyDrive = volume;
    everyDrive.dbcv_unitmask = 0xFFFFFFFFu;
    DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    DEV_BROADCAST_VOLUME claimsLess = volume;
    claimsLess.dbcv_size = sizeof(DEV_BROADCAST_HDR);
    const WPARAM kVolumeEvents[] = {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE};
    for (WPARAM nEvent : kVolumeEvents) {
        SendDeviceEvent(nEvent, nullptr);
        SendDeviceEvent(nEvent, pShortRecord);
        SendDeviceEvent(nEvent, &port);
        SendDeviceEvent(nEvent, &claimsLess);
        SendDeviceEvent(nEvent, &noDrive);
    }
    SendDeviceEvent(DBT_DEVICEARRIVAL, &everyDrive);  // the first drive, A:, which cannot be opened
    // The system's dispatch may swallow a fault in the window procedure; called
    // directly, a read past the short record would end this program.
    for (WPARAM nEvent : kVolumeEvents) {
        EXPECT_TRUE(Monitor().OnDeviceChange(nEvent, reinterpret_cast<LPARAM>(pShortRecord)));
    }
    ASSERT_TRUE(WaitUntil([&] { return Settled(); }, 15000));
    ExpectOneWatchPerRoot();

    // Forged removals detach the recorded roots and re-arm one timer; a flood
    // of them does no more than one would, and the timers bring the root back.
    for (int i = 0; i < kForgedRemovals; ++i) {
        SendDeviceEvent(DBT_DEVICEREMOVECOMPLETE, &volume);
        SendDeviceEvent(DBT_DEVICEQUERYREMOVE, &volume);
    }
    EXPECT_TRUE(RecordedRoots().empty());
    for (int i = 0; i < kForgedArrivals / 10; ++i) SendDeviceEvent(DBT_DEVICEARRIVAL, &volume);
    ASSERT_TRUE(WaitUntil([&] { return Settled(); }, 15000));
    ExpectOneWatchPerRoot();

    // Reports on the drive still arrive, once each.
    const std::string strFolder = MakeFreshFolder(RemovableDriveRoot(), "flood");
    ASSERT_TRUE(WriteTextFile(strFolder + "\\flood.txt", "x"));
    EXPECT_TRUE(WaitForReportLines(strFolder, 1));
    EXPECT_EQ(ReportLines(strFolder), Roots{"U Add F\\flood.txt"});
    RemoveTree(strFolder);
}

}  // namespace
}  // namespace terntest
