// Drive discovery on the harness's drives (C: and D: fixed, E: removable, F: a
// CD-ROM), starting and stopping the monitor types, and the watch-root
// operations behind them.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "MonitorFixture.h"
#include "TestDrives.h"

using Roots = std::vector<std::string>;
using tern::CFileMonitor;
using tern::DriveRootList;

namespace terntest {
namespace {

class FileMonitorStart : public MonitorFixture {};

TEST_F(FileMonitorStart, UsbAttachesTheLocalDisksTooAndRecordsOnlyTheRemovableRoot) {
    tern::g_arrRecordedRoots.Append("Q:\\");  // a stale entry goes with the start
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, FILEMON_USB);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(LogLines(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == IgnoreEvent);
    EXPECT_EQ(Monitor().m_pUsbRuleList, &m_usbRules);
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == nullptr);
    EXPECT_EQ(Monitor().m_pLocalRuleList, nullptr);
    EXPECT_TRUE(tern::g_pFileMonitor == &Monitor());

    // Starting again replaces the watches and records the removable root anew.
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, FILEMON_USB);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 3);
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});

    // The local type attaches the fixed disks only and records nothing.
    Monitor().StopFileMonitor(FILEMON_ALL);
    Monitor().StartFileMonitor(IgnoreEvent, &m_localFilter, FILEMON_LOCAL);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == IgnoreEvent);
    EXPECT_EQ(Monitor().m_pLocalRuleList, &m_localRules);
}

TEST_F(FileMonitorStart, BadArgumentsAndUnknownTypes) {
    tern::g_pFileMonitor = nullptr;
    Monitor().StartFileMonitor(nullptr, &m_usbFilter, FILEMON_USB);
    Monitor().StartFileMonitor(IgnoreEvent, nullptr, FILEMON_USB);
    EXPECT_EQ(LogLines(), Roots(2, "StartFileMonitor pFilterList or pFunction is NULL"));
    EXPECT_TRUE(tern::g_pFileMonitor == nullptr);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);

    // Any other type attaches the local disks and stores nothing.
    ClearReportsAndLog();
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, 7);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_EQ(LogLines(), (Roots{"C:\\", FixedDriveRoot(), "unknow file monitor type"}));
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == nullptr);
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == nullptr);
    EXPECT_TRUE(tern::g_pFileMonitor == &Monitor());

    // A null rule list is logged for every root and attached all the same.
    ClearReportsAndLog();
    FileMonFilterList noRules = {FILEMON_LOCAL, nullptr};
    Monitor().StartFileMonitor(IgnoreEvent, &noRules, FILEMON_LOCAL);
    EXPECT_EQ(LogLines(), (Roots{"C:\\", "pFilterList is NULL", FixedDriveRoot(),
                                    "pFilterList is NULL"}));
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
}

TEST_F(FileMonitorStart, StoppingOneTypeLeavesTheOtherAttached) {
    EXPECT_FALSE(IsHeldOpen(RemovableDriveRoot()));
    Start(FILEMON_LOCAL);
    Start(FILEMON_USB);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    // Each watch holds its drive's root open.
    EXPECT_TRUE(IsHeldOpen(FixedDriveRoot()));
    EXPECT_TRUE(IsHeldOpen(RemovableDriveRoot()));

    ClearReportsAndLog();
    EXPECT_TRUE(m_pObject->StopMonitoring(FILEMON_USB));
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_FALSE(IsHeldOpen(RemovableDriveRoot()));
    EXPECT_TRUE(IsHeldOpen(FixedDriveRoot()));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(LogLines(), (Roots{"Enter Stop FileMonitor", RemovableDriveRoot(),
                                    "Enter Stop FILEMON_USB OK", "Enter Stop END"}));
    EXPECT_EQ(Monitor().m_pUsbRuleList, nullptr);
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == IgnoreEvent);  // device events go on

    Start(FILEMON_USB);
    ClearReportsAndLog();
    EXPECT_TRUE(m_pObject->StopMonitoring(FILEMON_LOCAL));
    EXPECT_EQ(WatchedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(LogLines(), (Roots{"Enter Stop FileMonitor", "C:\\", FixedDriveRoot(),
                                    "Enter Stop FileMonitor OK", "Enter Stop END"}));
    EXPECT_EQ(Monitor().m_pLocalRuleList, &m_localRules);  // kept
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == IgnoreEvent);

    // A second stop finds nothing to detach.
    ClearReportsAndLog();
    Monitor().StopFileMonitor(FILEMON_LOCAL);
    EXPECT_EQ(LogLines(), (Roots{"Enter Stop FileMonitor", "Enter Stop FileMonitor OK",
                                    "Enter Stop END"}));
}

TEST_F(FileMonitorStart, StoppingUsbDetachesEveryRecordedRootAndStoppingAllDetachesEverything) {
    Start(FILEMON_USB);
    // D: attached for FILEMON_USB as an arriving volume would be.
    EXPECT_EQ(Monitor().AddWatchRoot(FixedDriveRoot(), &m_usbRules, true), 1);
    EXPECT_EQ(RecordedRoots(), (Roots{RemovableDriveRoot(), FixedDriveRoot()}));
    Monitor().StopFileMonitor(FILEMON_USB);
    EXPECT_EQ(WatchedRoots(), Roots{"C:\\"});
    EXPECT_TRUE(RecordedRoots().empty());

    Start(FILEMON_USB);
    Start(FILEMON_LOCAL);
    ClearReportsAndLog();
    Monitor().StopFileMonitor(FILEMON_ALL);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    EXPECT_FALSE(IsHeldOpen(FixedDriveRoot()));
    EXPECT_FALSE(IsHeldOpen(RemovableDriveRoot()));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(LogLines(), (Roots{"Enter Stop FileMonitor", "Enter Stop END"}));

    // Any other value only logs.
    Start(FILEMON_LOCAL);
    ClearReportsAndLog();
    Monitor().StopFileMonitor(9);
    EXPECT_EQ(LogLines(), (Roots{"Enter Stop FileMonitor", "Enter Stop END"}));
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
}

class WatchRoots : public MonitorFixture {};

TEST_F(WatchRoots, AddDriveRootNeedsAStartedUsbTypeAndSkipsWatchedRoots) {
    EXPECT_TRUE(Monitor().AddDriveRoot("E"));
    EXPECT_FALSE(IsWatched(RemovableDriveRoot()));
    EXPECT_TRUE(Monitor().AddDriveRoot(nullptr));
    EXPECT_TRUE(Monitor().AddDriveRoot(""));
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);

    Start(FILEMON_USB);
    EXPECT_TRUE(m_pObject->AddDrive("E:\\ignored after the letter"));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});  // already watched
    Monitor().m_DirWatcher.UnwatchDirectory(RemovableDriveRoot());
    EXPECT_TRUE(m_pObject->AddDrive("E"));
    EXPECT_TRUE(IsWatched(RemovableDriveRoot()));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_TRUE(m_pObject->AddDrive("q"));
    EXPECT_EQ(LogLines().back(), "q:\\");
}


class DriveDiscovery : public MonitorFixture {};

TEST_F(DriveDiscovery, StorageQueryAnswersForRealVolumesAndRefusesBadInput) {
    HANDLE hVolume = ::CreateFileA("\\\\?\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hVolume, INVALID_HANDLE_VALUE);
    std::vector<DWORD> buffer(160, 0);
    auto* pDescriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
    pDescriptor->Size = 551;
    EXPECT_TRUE(CFileMonitor::QueryDeviceDescriptor(hVolume, pDescriptor));
    EXPECT_NE(pDescriptor->BusType, BusTypeUnknown);
    EXPECT_NE(pDescriptor->BusType, BusTypeUsb);  // a folder behind a drive letter
    EXPECT_FALSE(CFileMonitor::QueryDeviceDescriptor(hVolume, nullptr));
    ::CloseHandle(hVolume);
    EXPECT_FALSE(CFileMonitor::QueryDeviceDescriptor(INVALID_HANDLE_VALUE, pDescriptor));

    // None of the harness's drives is on a USB bus; bad letters are simply not USB.
    for (const char* pszLetter : {"C", "D", "E", "F", "Q", "", "E:", "EEE", "E:\\"}) {
        EXPECT_FALSE(CFileMonitor::IsUsbDisk(pszLetter)) << pszLetter;
    }
    EXPECT_FALSE(CFileMonitor::IsUsbDisk(nullptr));
}

TEST(DriveArithmetic, FirstDriveFromMaskAndQueryRemoveDelay) {
    // The lowest letter; no unit at all, or only bits beyond Z: the character after 'Z'.
    const std::pair<DWORD, char> masks[] = {{1, 'A'}, {1u << 4, 'E'}, {(1u << 5) | (1u << 3), 'D'}, {1u << 25, 'Z'},
                                            {0xFFFFFFFFu, 'A'}, {0, '['}, {1u << 26, '['}};
    for (const auto& mask : masks) EXPECT_EQ(CFileMonitor::FirstDriveFromMask(mask.first), mask.second) << mask.first;
    // Twenty seconds per removable root, at least one.
    const std::pair<int, UINT> delays[] = {{0, 20000u}, {1, 20000u}, {2, 40000u}, {5, 100000u}};
    for (const auto& delay : delays) EXPECT_EQ(CFileMonitor::QueryRemoveDelay(delay.first), delay.second);
}

TEST_F(DriveDiscovery, VolumeNotificationRegistersForOpenableRoots) {
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), nullptr, true), 0);
    EXPECT_TRUE(LogLines().empty());

    for (const std::string& strRoot : {std::string("C:\\"), FixedDriveRoot(), RemovableDriveRoot()}) {
        EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), strRoot.c_str(), true), 1) << strRoot;
    }
    // Opened and closed again without registering.
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), FixedDriveRoot().c_str(), false), 0);
    EXPECT_TRUE(LogLines().empty());

    // A root that cannot be opened is logged with its error (the line: DeviceEvents).
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), "Q:\\", true), 0);
    EXPECT_EQ(LogLines().size(), 1u);

    // A path too long for the message is cut to the message's 260 characters.
    ClearReportsAndLog();
    const std::string strLong = "D:\\" + std::string(400, 'x') + "\\";
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), strLong.c_str(), true), 0);
    ASSERT_EQ(LogLines().size(), 1u);
    EXPECT_EQ(LogLines()[0], ("Open Dir " + strLong).substr(0, 259));
}

}  // namespace
}  // namespace terntest
