// Drive discovery on the harness's drives (C: and D: fixed, E: removable, F: a
// CD-ROM), starting and stopping the monitor types, and the watch-root
// operations behind them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "MonitorFixture.h"
#include "TestDrives.h"

using Roots = std::vector<std::string>;
using tern::CFileMonitor;

namespace terntest {
namespace {

class FileMonitorStart : public MonitorFixture {};

TEST_F(FileMonitorStart, UsbAttachesTheLocalDisksTooAndRecordsOnlyTheRemovableRoot) {
    tern::g_arrRecordedRoots.Append("Q:\\");  // a stale entry goes with the start
    Monitor().StartFileMonitor(IgnoreEvent, &m_usbFilter, FILEMON_USB);
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    EXPECT_EQ(RecordedRoots(), Roots{RemovableDriveRoot()});
    EXPECT_EQ(LogLines(), (Roots{"C:\\", FixedDriveRoot(), RemovableDriveRoot()}));
    EXPECT_EQ(Monitor().m_pUsbRuleList, &m_usbRules);
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
    EXPECT_EQ(Monitor().m_pLocalRuleList, &m_localRules);

    // A null rule list is logged for every root and attached all the same.
    ClearReportsAndLog();
    FileMonFilterList noRules = {FILEMON_LOCAL, nullptr};
    Monitor().StartFileMonitor(IgnoreEvent, &noRules, FILEMON_LOCAL);
    EXPECT_EQ(LogLines(), (Roots{"C:\\", "pFilterList is NULL", FixedDriveRoot(),
                                    "pFilterList is NULL"}));
    EXPECT_EQ(WatchedRoots(), (Roots{"C:\\", FixedDriveRoot()}));
}

// Each row starts types (D: attached as an arriving volume would be, if
// asked) and stops one: what stays watched and recorded, and the stop's log.
// A watch holds its drive's root open; a stopped one lets go of it.
TEST_F(FileMonitorStart, StoppingATypeDetachesItsOwnRootsOnly) {
    const std::string C = "C:\\", D = FixedDriveRoot(), E = RemovableDriveRoot();
    const std::string kEnter = "Enter Stop FileMonitor", kEnd = "Enter Stop END";
    struct StopCase {
        std::vector<int> vecStarts;
        bool bArrivedD;
        int nStop;
        Roots watched, recorded, log;
    };
    const StopCase cases[] = {
        {{FILEMON_LOCAL, FILEMON_USB}, false, FILEMON_LOCAL, {E}, {E}, {kEnter, C, D, "Enter Stop FileMonitor OK", kEnd}},
        {{}, false, FILEMON_LOCAL, {E}, {E}, {kEnter, "Enter Stop FileMonitor OK", kEnd}},  // nothing left to detach
        {{FILEMON_LOCAL, FILEMON_USB}, false, FILEMON_ALL, {}, {}, {kEnter, kEnd}},
        {{FILEMON_LOCAL}, false, 9, {C, D}, {}, {kEnter, kEnd}},  // any other value only logs
        // Every recorded root goes with FILEMON_USB, an arrived fixed disk too.
        {{FILEMON_USB}, true, FILEMON_USB, {C}, {}, {kEnter, E, D, "Enter Stop FILEMON_USB OK", kEnd}},
        {{FILEMON_LOCAL, FILEMON_USB}, false, FILEMON_USB, {C, D}, {}, {kEnter, E, "Enter Stop FILEMON_USB OK", kEnd}},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "stop " << c.nStop << " after " << c.vecStarts.size() << " starts");
        for (int nType : c.vecStarts) Start(nType);
        if (c.bArrivedD) {
            EXPECT_EQ(Monitor().AddWatchRoot(D, &m_usbRules, true), 1);
        }
        ClearReportsAndLog();
        Monitor().StopFileMonitor(c.nStop);
        EXPECT_EQ(WatchedRoots(), c.watched);
        EXPECT_EQ(RecordedRoots(), c.recorded);
        EXPECT_EQ(LogLines(), c.log);
        for (const std::string& strRoot : {D, E}) {
            const bool bWatched = std::find(c.watched.begin(), c.watched.end(), strRoot) != c.watched.end();
            EXPECT_EQ(IsHeldOpen(strRoot), bWatched) << strRoot;
        }
    }
    // Stopping keeps the callbacks, so device events go on; only FILEMON_USB lets go of its rules.
    EXPECT_TRUE(Monitor().m_pfnUsbCallback == IgnoreEvent);
    EXPECT_EQ(Monitor().m_pUsbRuleList, nullptr);
    EXPECT_TRUE(Monitor().m_pfnLocalCallback == IgnoreEvent);
    EXPECT_EQ(Monitor().m_pLocalRuleList, &m_localRules);
}

TEST_F(FileMonitorStart, AddDriveRootNeedsAStartedUsbTypeAndSkipsWatchedRoots) {
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


TEST(DriveDiscovery, NoHarnessDriveAndNoBadLetterIsUsb) {
    // None of the harness's drives is on a USB bus; bad letters are simply not USB.
    for (const char* pszLetter : {"C", "D", "E", "F", "Q", "", "E:", "EEE", "E:\\"}) {
        EXPECT_FALSE(CFileMonitor::IsUsbDisk(pszLetter)) << pszLetter;
    }
    EXPECT_FALSE(CFileMonitor::IsUsbDisk(nullptr));
}

}  // namespace
}  // namespace terntest
