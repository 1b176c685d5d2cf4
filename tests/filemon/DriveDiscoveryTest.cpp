// Drive discovery on the harness's drives: C: and D: fixed, E: removable,
// F: a CD-ROM.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HandleCount.h"
#include "MonitorFixture.h"
#include "TestDrives.h"

using tern::CFileMonitor;
using tern::DriveRootList;

namespace terntest {
namespace {

class DriveDiscovery : public MonitorFixture {};

TEST_F(DriveDiscovery, SortsFixedDisksIntoLocalAndRemovableDrivesIntoRemovable) {
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    Monitor().CollectDrives(&lstLocal, &lstRemovable);
    EXPECT_EQ(lstLocal, (DriveRootList{"C:\\", FixedDriveRoot()}));
    EXPECT_EQ(lstRemovable, DriveRootList{RemovableDriveRoot()});

    // Missing lists: nothing is touched, nothing is logged.
    DriveRootList lstUntouched{"X:\\"};
    Monitor().CollectDrives(&lstUntouched, nullptr);
    Monitor().CollectDrives(nullptr, &lstUntouched);
    Monitor().CollectDrives(nullptr, nullptr);
    EXPECT_EQ(lstUntouched, DriveRootList{"X:\\"});
    EXPECT_TRUE(LoggedLines().empty());
}

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

TEST_F(DriveDiscovery, FirstDriveFromMaskTakesTheLowestLetter) {
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask(1), 'A');
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask(1u << 4), 'E');
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask((1u << 5) | (1u << 3)), 'D');
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask(1u << 25), 'Z');
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask(0xFFFFFFFFu), 'A');
    // No unit at all, or only bits beyond Z: the character after 'Z'.
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask(0), '[');
    EXPECT_EQ(CFileMonitor::FirstDriveFromMask(1u << 26), '[');
}

TEST_F(DriveDiscovery, QueryRemoveWaitsTwentySecondsPerRemovableRoot) {
    EXPECT_EQ(CFileMonitor::QueryRemoveDelay(0), 20000u);
    EXPECT_EQ(CFileMonitor::QueryRemoveDelay(1), 20000u);
    EXPECT_EQ(CFileMonitor::QueryRemoveDelay(2), 40000u);
    EXPECT_EQ(CFileMonitor::QueryRemoveDelay(5), 100000u);
}

TEST_F(DriveDiscovery, VolumeNotificationRegistersForOpenableRootsAndKeepsNoHandle) {
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), nullptr, true), 0);
    EXPECT_TRUE(LoggedLines().empty());

    // Warm up whatever the system starts with the first registrations.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), "C:\\", true), 1);
    }
    const unsigned nHandlesBefore = CountOpenHandles();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), FixedDriveRoot().c_str(), true), 1);
        EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), RemovableDriveRoot().c_str(), true), 1);
        // Opened and closed again without registering.
        EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), FixedDriveRoot().c_str(), false), 0);
    }
    EXPECT_EQ(CountOpenHandles(), nHandlesBefore);
    EXPECT_TRUE(LoggedLines().empty());

    // A root that cannot be opened is logged with its error.
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), "Q:\\", true), 0);
    ASSERT_EQ(LoggedLines().size(), 1u);
    const std::string strLine = LoggedLines()[0];
    EXPECT_EQ(strLine.rfind("Open Dir Q:\\ fail::", 0), 0u) << strLine;
    EXPECT_EQ(strLine.back(), '\n');
    EXPECT_GT(std::stoi(strLine.substr(strlen("Open Dir Q:\\ fail::"))), 0) << strLine;

    // A path too long for the message is cut to the message's 260 characters.
    ClearLog();
    const std::string strLong = "D:\\" + std::string(400, 'x') + "\\";
    EXPECT_EQ(Monitor().RegisterVolumeNotification(Window(), strLong.c_str(), true), 0);
    ASSERT_EQ(LoggedLines().size(), 1u);
    EXPECT_EQ(LoggedLines()[0], ("Open Dir " + strLong).substr(0, 259));
}

}  // namespace
}  // namespace terntest
