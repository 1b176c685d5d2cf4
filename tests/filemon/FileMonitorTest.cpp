// Starting and stopping the monitor types on the harness's drives, and the
// watch-root operations behind them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "MonitorFixture.h"
#include "TestDrives.h"

using Roots = std::vector<std::string>;

namespace terntest {
namespace {

class FileMonitorStart : public MonitorFixture {};

TEST_F(FileMonitorStart, UsbAttachesTheLocalDisksTooAndRecordsOnlyTheRemovableRoot) {
    tern::g_arrRecordedRoots.Append("Q:\\");  // a stale entry goes with the start
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, FILEMON_USB);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(LoggedLines(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == IgnoreEvent);
    EXPECT_EQ(Monitor().m_pUsbRuleList, &m_usbRules);
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == nullptr);
    EXPECT_EQ(Monitor().m_pLocalRuleList, nullptr);
    EXPECT_TRUE(tern::g_pFileMonitor == &Monitor());

    // Starting again replaces the watches and records the removable root anew.
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, FILEMON_USB);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 3);
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
}

TEST_F(FileMonitorStart, LocalAttachesTheFixedDisksOnly) {
    Monitor().StartFileMonitor(IgnoreEvent, &m_localFilter, FILEMON_LOCAL);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == IgnoreEvent);
    EXPECT_EQ(Monitor().m_pLocalRuleList, &m_localRules);
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == nullptr);
}

TEST_F(FileMonitorStart, BadArgumentsAndUnknownTypes) {
    tern::g_pFileMonitor = nullptr;
    Monitor().StartFileMonitor(nullptr, &m_usbFilter, FILEMON_USB);
    Monitor().StartFileMonitor(IgnoreEvent, nullptr, FILEMON_USB);
    EXPECT_EQ(LoggedLines(), Roots(2, "StartFileMonitor pFilterList or pFunction is NULL"));
    EXPECT_TRUE(tern::g_pFileMonitor == nullptr);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);

    // Any other type attaches the local disks and stores nothing.
    ClearLog();
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, 7);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_EQ(LoggedLines(), (Roots{"C:\\", FixedDriveRoot(), "unknow file monitor type"}));
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == nullptr);
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == nullptr);
    EXPECT_TRUE(tern::g_pFileMonitor == &Monitor());

    // A null rule list is logged for every root and attached all the same.
    ClearLog();
    FileMonFilterList noRules = {FILEMON_LOCAL, nullptr};
    Monitor().StartFileMonitor(IgnoreEvent, &noRules, FILEMON_LOCAL);
    EXPECT_EQ(LoggedLines(), (Roots{"C:\\", "pFilterList is NULL", FixedDriveRoot(),
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

    ClearLog();
    EXPECT_TRUE(m_pObject->StopMonitoring(FILEMON_USB));
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
    EXPECT_FALSE(IsHeldOpen(RemovableDriveRoot()));
    EXPECT_TRUE(IsHeldOpen(FixedDriveRoot()));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(LoggedLines(), (Roots{"Enter Stop FileMonitor", RemovableDriveRoot(),
                                    "Enter Stop FILEMON_USB OK", "Enter Stop END"}));
    EXPECT_EQ(Monitor().m_pUsbRuleList, nullptr);
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == IgnoreEvent);  // device events go on

    Start(FILEMON_USB);
    ClearLog();
    EXPECT_TRUE(m_pObject->StopMonitoring(FILEMON_LOCAL));
    EXPECT_EQ(WatchedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(LoggedLines(), (Roots{"Enter Stop FileMonitor", "C:\\", FixedDriveRoot(),
                                    "Enter Stop FileMonitor OK", "Enter Stop END"}));
    EXPECT_EQ(Monitor().m_pLocalRuleList, &m_localRules);  // kept
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == IgnoreEvent);

    // A second stop finds nothing to detach.
    ClearLog();
    Monitor().StopFileMonitor(FILEMON_LOCAL);
    EXPECT_EQ(LoggedLines(), (Roots{"Enter Stop FileMonitor", "Enter Stop FileMonitor OK",
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
    ClearLog();
    Monitor().StopFileMonitor(FILEMON_ALL);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    EXPECT_FALSE(IsHeldOpen(FixedDriveRoot()));
    EXPECT_FALSE(IsHeldOpen(RemovableDriveRoot()));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(LoggedLines(), (Roots{"Enter Stop FileMonitor", "Enter Stop END"}));

    // Any other value only logs.
    Start(FILEMON_LOCAL);
    ClearLog();
    Monitor().StopFileMonitor(9);
    EXPECT_EQ(LoggedLines(), (Roots{"Enter Stop FileMonitor", "Enter Stop END"}));
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
}

class WatchRoots : public MonitorFixture {};

TEST_F(WatchRoots, AttachingReplacesTheWatchAndRecordsOnce) {
    EXPECT_EQ(Monitor().AddWatchRoot(RemovableDriveRoot(), &m_usbRules, true), 1);
    EXPECT_EQ(Monitor().AddWatchRoot(RemovableDriveRoot(), &m_usbRules, true), 1);
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 1);
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(Monitor().AddWatchRoot(FixedDriveRoot(), &m_localRules, false), 1);
    EXPECT_EQ(RecordedRoots().size(), 1u);
    EXPECT_TRUE(LoggedLines().empty());

    // Nothing to attach, and a root that cannot be watched.
    EXPECT_EQ(Monitor().AddWatchRoot("", &m_usbRules, true), 0);
    EXPECT_TRUE(LoggedLines().empty());
    EXPECT_EQ(Monitor().AddWatchRoot("Q:\\", &m_usbRules, true), 0);
    EXPECT_EQ(LoggedLines(), (Roots{" Monitor Failure", "Q:\\"}));
    EXPECT_EQ(RecordedRoots().size(), 1u);
    EXPECT_FALSE(IsWatched("Q:\\"));

    // Attach by type: anything but 1 and 2 attaches nothing.
    Monitor().UnwatchRecordedRoots();
    EXPECT_TRUE(Monitor().AddRootForType(RemovableDriveRoot(), 3));
    EXPECT_FALSE(IsWatched(RemovableDriveRoot()));
    EXPECT_TRUE(Monitor().AddRootForType(RemovableDriveRoot(), FILEMON_LOCAL));
    EXPECT_TRUE(IsWatched(RemovableDriveRoot()));
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_TRUE(Monitor().AddRootForType(RemovableDriveRoot(), FILEMON_USB));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
}

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
    EXPECT_EQ(LoggedLines().back(), "q:\\");
}

TEST_F(WatchRoots, RewatchingFollowsTheStartedTypes) {
    // Without any rule list only the locked rewatch attaches (and logs the missing list).
    Monitor().RewatchRemovableDrives();
    Monitor().RewatchAllDrives();
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    Monitor().RewatchRemovableDrivesLocked();
    EXPECT_EQ(WatchedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(LoggedLines(), Roots{"pFilterList is NULL"});

    // The locked rewatch records the removable roots anew; the others add nothing already listed.
    Start(FILEMON_USB);
    Monitor().RewatchRemovableDrivesLocked();
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    Monitor().RewatchRemovableDrives();
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    Monitor().RewatchAllDrives();
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    // FILEMON_LOCAL was never started: its disks are detached and stay so.
    EXPECT_EQ(WatchedRoots(), Roots{RemovableDriveRoot()});

    Start(FILEMON_LOCAL);
    Monitor().UnwatchAllDrives();
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
    Monitor().RewatchAllDrives();
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
}

TEST_F(WatchRoots, UnwatchingEmptiesTheRecordedRootsWhateverTheWatcherHeld) {
    Start(FILEMON_LOCAL);
    tern::g_arrRecordedRoots.Append("Q:\\");
    tern::g_arrRecordedRoots.Append(FixedDriveRoot());
    Monitor().UnwatchRecordedRoots();
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(WatchedRoots(), Roots{"C:\\"});

    tern::g_arrRecordedRoots.Append("Q:\\");
    Monitor().UnwatchAllDrives();
    EXPECT_TRUE(RecordedRoots().empty());
    EXPECT_EQ(Monitor().m_DirWatcher.NumWatchedDirectories(), 0);
}

}  // namespace
}  // namespace terntest
