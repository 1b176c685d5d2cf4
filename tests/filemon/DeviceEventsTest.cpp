// The hidden window "FileMon" (its class, its thread, its end with the monitor)
// and device events sent to it the way the system broadcasts them, with the
// window's timers sped up and observed through their effects.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "MonitorFixture.h"
#include "TestDrives.h"

using Roots = std::vector<std::string>;

namespace terntest {
namespace {

// Bounded waits for timers of at most 10000 / kTimerDivisor ms.
constexpr DWORD kTimerWaitMs = 3000;

class DeviceEvents : public MonitorFixture {
protected:
    Roots AllRoots() { return Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}; }
};

TEST_F(DeviceEvents, ArrivingVolumesAreAttachedAsUsbAndCdromsOnlyLogged) {
    Start(FILEMON_USB);
    Monitor().UnwatchRecordedRoots();
    ClearReportsAndLog();

    SendVolumeEvent(DBT_DEVICEARRIVAL, RemovableDriveRoot()[0]);
    EXPECT_TRUE(IsWatched(RemovableDriveRoot()));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    // A fixed volume that arrives counts as FILEMON_USB as well.
    SendVolumeEvent(DBT_DEVICEARRIVAL, FixedDriveRoot()[0]);
    EXPECT_EQ(RecordedRoots(), (Roots{RemovableDriveRoot(), FixedDriveRoot()}));
    EXPECT_EQ(LogLines(), Roots(2, "OnDeviceChange"));

    ClearReportsAndLog();
    SendVolumeEvent(DBT_DEVICEARRIVAL, CdromDriveRoot()[0]);
    EXPECT_EQ(LogLines(), (Roots{"OnDeviceChange", "OnDeviceChange-----CD ROM"}));
    EXPECT_FALSE(IsWatched(CdromDriveRoot()));
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_NEWDISK), 0u);

    // Removal of a CD-ROM is only logged too.
    ClearReportsAndLog();
    SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, CdromDriveRoot()[0]);
    EXPECT_EQ(LogLines(), (Roots{"OnDeviceChange", "OnDeviceChange-----CD ROM"}));
    EXPECT_EQ(RecordedRoots().size(), 2u);
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_REMOVE), 0u);
}

TEST_F(DeviceEvents, QueryRemoveDetachesTheRecordedRootsAndReattachesThemLater) {
    Start(FILEMON_LOCAL);
    Start(FILEMON_USB);
    ClearReportsAndLog();
    // Slow enough to look at the volume between the event and the timer.
    Monitor().SetTimerDivisor(20);

    // Query-remove comes with a handle record (or none): any device type will do.
    DEV_BROADCAST_HANDLE handleRecord = {};
    handleRecord.dbch_size = sizeof(handleRecord);
    handleRecord.dbch_devicetype = DBT_DEVTYP_HANDLE;
    SendDeviceEvent(DBT_DEVICEQUERYREMOVE, &handleRecord);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_TRUE(RecordedRoots().empty());
    // One removable root on the harness: 20 s.
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_QUERYREMOVE), 20000u);
    // Nothing of the component keeps the leaving volume open.
    EXPECT_FALSE(IsHeldOpen(RemovableDriveRoot()));
    Monitor().SetTimerDivisor(kTimerDivisor);

    ASSERT_TRUE(WaitForLogged("TIMER_QUERYREMOVE", 1, 20000 / 20 + kTimerWaitMs));
    SyncWithWindow();
    EXPECT_EQ(WatchedRoots(), AllRoots());
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_QUERYREMOVE), 0u);
    EXPECT_EQ(LogLines(), (Roots{"OnDeviceChange", "TIMER_QUERYREMOVE"}));
}

TEST_F(DeviceEvents, RemoveCompleteDetachesAtOnceAndReattachesWhatRemains) {
    Start(FILEMON_USB);
    EXPECT_EQ(Monitor().AddWatchRoot(FixedDriveRoot(), &m_usbRules, true), 1);
    ClearReportsAndLog();

    SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, RemovableDriveRoot()[0]);
    // Every recorded root goes, whichever volume left.
    EXPECT_EQ(WatchedRoots(), Roots{"C:\\"});
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_REMOVE), 3000u);

    ASSERT_TRUE(WaitForLogged("TIMER_REMOVE", 1, kTimerWaitMs));
    SyncWithWindow();
    // The removable drive that remains comes back; the arrived fixed disk does not.
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", RemovableDriveRoot()}));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_REMOVE), 0u);

    // Two removals in a row: the timer starts over and runs once.
    ClearReportsAndLog();
    SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, RemovableDriveRoot()[0]);
    SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, RemovableDriveRoot()[0]);
    ASSERT_TRUE(WaitForLogged("TIMER_REMOVE", 1, kTimerWaitMs));
    ::Sleep(2 * 3000 / kTimerDivisor);
    EXPECT_EQ(CountLogged("TIMER_REMOVE"), 1u);
}

TEST_F(DeviceEvents, CustomEventDetachesEverythingAndRebuildsLater) {
    Start(FILEMON_LOCAL);
    Start(FILEMON_USB);
    ClearReportsAndLog();

    SendDeviceEvent(DBT_CUSTOMEVENT, nullptr);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(LogLines(), (Roots{"OnDeviceChange", "DBT_CUSTOMEVENT"}));
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_CUSTOMEVENT), 3000u);

    ASSERT_TRUE(WaitUntil(
        [&] { return Monitor().ArmedTimerPeriod(tern::TIMER_CUSTOMEVENT) == 0; }, kTimerWaitMs));
    SyncWithWindow();
    EXPECT_EQ(WatchedRoots(), AllRoots());
    // Recorded by the locked rewatch and again by the rewatch of all drives: listed once.
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});

    // With FILEMON_LOCAL never started, its disks stay detached after the rebuild.
    Monitor().m_pfnLocalCallback = nullptr;
    Monitor().m_pLocalRuleList = nullptr;
    SendDeviceEvent(DBT_CUSTOMEVENT, nullptr);
    ASSERT_TRUE(WaitUntil(
        [&] { return Monitor().ArmedTimerPeriod(tern::TIMER_CUSTOMEVENT) == 0; }, kTimerWaitMs));
    SyncWithWindow();
    EXPECT_EQ(WatchedRoots(), Roots{RemovableDriveRoot()});
}

TEST_F(DeviceEvents, UnopenableArrivalIsRetriedFifteenTimesThenGivenUp) {
    Start(FILEMON_USB);
    ClearReportsAndLog();
    SendVolumeEvent(DBT_DEVICEARRIVAL, 'Q');
    ASSERT_EQ(LogLines().size(), 2u);
    EXPECT_EQ(LogLines()[1].rfind("Open Dir Q:\\ fail::", 0), 0u);
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_NEWDISK), 10000u);
    EXPECT_FALSE(IsWatched("Q:\\"));

    ASSERT_TRUE(WaitForLogged("New Hard DIsk Come", 1, kTimerWaitMs));
    ASSERT_TRUE(WaitUntil(
        [&] { return Monitor().ArmedTimerPeriod(tern::TIMER_NEWDISK) == 3000; }, kTimerWaitMs));
    ASSERT_TRUE(WaitForLogged("Reset Timer Format too long, not monitor the disk::", 15,
                              15 * kTimerWaitMs));
    // The 15th failure gives up and resets the count.
    ::Sleep(3 * 3000 / kTimerDivisor);
    SyncWithWindow();
    EXPECT_EQ(CountLogged("New Hard DIsk Come"), 15u);
    EXPECT_EQ(CountLogged("Reset Timer Format too long, not monitor the disk::"), 15u);
    EXPECT_EQ(CountLogged("Q:\\"), 15u);  // the pending root follows each failure
    EXPECT_EQ(Monitor().ArmedTimerPeriod(tern::TIMER_NEWDISK), 0u);
    EXPECT_EQ(tern::g_nNewDiskRetries, 0);
    EXPECT_EQ(WatchedRoots(), AllRoots());
}


// The hidden window runs on a thread of its own, its class registered on the
// process's main module; device events before any start are only logged.
TEST_F(DeviceEvents, WindowRunsOnItsOwnThreadAndOnlyLogsEventsBeforeAnyStart) {
    EXPECT_NE(::GetWindowThreadProcessId(Window(), nullptr), ::GetCurrentThreadId());
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    EXPECT_TRUE(::GetClassInfoExA(::GetModuleHandleA(nullptr), "FileMonWindowClass", &wc));

    for (char chLetter : {'E', 'D', 'Q'}) {
        SendVolumeEvent(DBT_DEVICEARRIVAL, chLetter);
        SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, chLetter);
    }
    SendDeviceEvent(DBT_DEVICEQUERYREMOVE, nullptr);
    SendDeviceEvent(DBT_CUSTOMEVENT, nullptr);
    EXPECT_EQ(LogLines(), Roots(8, "OnDeviceChange"));
    EXPECT_FALSE(AnyTimerArmed());
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    EXPECT_TRUE(RecordedRoots().empty());
}

}  // namespace
}  // namespace terntest
