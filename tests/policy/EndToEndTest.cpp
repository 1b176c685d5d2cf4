// Real file operations on the Wine test drives, reported to a host that
// started both monitor types through CreateObject and ITernFileMon.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "HostSession.h"
#include "TestDrives.h"

using namespace terntest;

namespace {

using Lines = std::vector<std::string>;

// The list of copied files that the client's clipboard watcher shares with
// the component; this test plays that watcher.
class CopiedFiles {
public:
    CopiedFiles() {
        m_hSection = ::OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Global\\Nimb_Clipbrd_Buffer");
        if (m_hSection != nullptr) m_pView = ::MapViewOfFile(m_hSection, FILE_MAP_WRITE, 0, 0, 0);
    }
    ~CopiedFiles() {
        Set("");
        if (m_pView != nullptr) ::UnmapViewOfFile(m_pView);
        if (m_hSection != nullptr) ::CloseHandle(m_hSection);
    }
    bool IsOpen() const { return m_pView != nullptr; }
    void Set(const std::string& strList) {
        if (m_pView != nullptr) std::memcpy(m_pView, strList.c_str(), strList.size() + 1);
    }

private:
    HANDLE m_hSection = nullptr;
    void* m_pView = nullptr;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ClearReports();
        m_localRules.push_back(RuleForAll("*", "local-first"));
        m_localRules.push_back(RuleForAll("*", "local-last"));
        m_usbRules.push_back(RuleForAll("*", "usb-first"));
        m_usbRules.push_back(RuleForAll("*", "usb-last"));
        ASSERT_TRUE(m_session.IsOpen());
        ASSERT_TRUE(m_session.Start(FILEMON_USB, &m_usbRules));
        ASSERT_TRUE(m_session.Start(FILEMON_LOCAL, &m_localRules));
    }
    void TearDown() override {
        for (const std::string& strFolder : m_arrFolders) RemoveTree(strFolder);
    }
    // Folders are made after monitoring started: Wine follows only those.
    std::string NewFolder(const std::string& strRoot) {
        m_arrFolders.push_back(MakeFreshFolder(strRoot, "policy-e2e"));
        ::Sleep(200);
        return m_arrFolders.back();
    }
    // Lets late or unexpected reports arrive before the whole list is compared.
    static void Settle() { ::Sleep(600); }

    FileMonRuleList m_localRules;
    FileMonRuleList m_usbRules;
    HostSession m_session;
    std::vector<std::string> m_arrFolders;
};

}  // namespace

// The same user actions on the fixed drive (FILEMON_LOCAL) and on the
// removable one (FILEMON_USB): each reaches its own type's callback.
class EndToEndBothTypes : public EndToEnd, public ::testing::WithParamInterface<int> {
protected:
    std::string Root() const {
        return GetParam() == FILEMON_USB ? RemovableDriveRoot() : FixedDriveRoot();
    }
    // Expected lines are written for FILEMON_LOCAL ("L ...").
    Lines ForThisType(Lines arrLines) const {
        if (GetParam() == FILEMON_USB) {
            for (std::string& strLine : arrLines) strLine[0] = 'U';
        }
        return arrLines;
    }
    std::string LastTag() const { return GetParam() == FILEMON_USB ? "usb-last" : "local-last"; }
};

INSTANTIATE_TEST_SUITE_P(MonitorTypes, EndToEndBothTypes,
                         ::testing::Values(int(FILEMON_LOCAL), int(FILEMON_USB)));

TEST_P(EndToEndBothTypes, AddRenameDeleteAndModify) {
    const std::string F = NewFolder(Root());
    StartOfNextSecond();
    WriteTextFile(F + "\\a.txt", "hello");  // added and written: one "Add"
    ASSERT_TRUE(WaitForReportLines(F, 1));
    RenamePath(F + "\\a.txt", F + "\\b.txt");
    ASSERT_TRUE(WaitForReportLines(F, 2));
    DeletePath(F + "\\b.txt");
    ASSERT_TRUE(WaitForReportLines(F, 3));
    StartOfNextSecond();
    WriteTextFile(F + "\\m.txt", "one");
    ASSERT_TRUE(WaitForReportLines(F, 4));
    StartOfNextSecond();
    AppendTextFile(F + "\\m.txt", " two");  // a later second: a modification of its own
    ASSERT_TRUE(WaitForReportLines(F, 5));
    Settle();
    EXPECT_EQ(ReportLines(F, true),
              ForThisType({"L Add F\\a.txt [|]",
                           "L Rename F\\a.txt ==> F\\b.txt [F\\a.txt|F\\b.txt]",
                           "L Delete F\\b.txt [F\\a.txt|F\\b.txt]",
                           "L Add F\\m.txt [F\\a.txt|F\\b.txt]", "L Modify F\\m.txt [|]"}));

    // All on the one notification thread, none on this host thread.
    const DWORD dwHostThread = ::GetCurrentThreadId();
    DWORD dwNotificationThread = 0;
    for (const HostReport& report : Reports()) {
        if (report.event.strPath.find(F) == std::string::npos) continue;
        if (dwNotificationThread == 0) dwNotificationThread = report.dwThreadId;
        EXPECT_EQ(report.dwThreadId, dwNotificationThread) << report.event.strPath;
        EXPECT_NE(report.dwThreadId, dwHostThread) << report.event.strPath;
        EXPECT_EQ(report.event.strRuleTag, LastTag()) << report.event.strPath;
        EXPECT_EQ(report.event.strTime.size(), 19u);
    }
}

TEST_P(EndToEndBothTypes, OfficeSavesAreModificationsOfTheDocument) {
    const std::string F = NewFolder(Root());
    // Word: the new text goes to ~WRD0001.tmp, the document becomes the backup
    // ~WRL0002.tmp, the temporary file becomes the document, the backup goes.
    StartOfNextSecond();
    WriteTextFile(F + "\\r.doc", "v1");
    StartOfNextSecond();
    WriteTextFile(F + "\\~WRD0001.tmp", "v2");
    ASSERT_TRUE(WaitForReportLines(F, 2));
    RenamePath(F + "\\r.doc", F + "\\~WRL0002.tmp");
    RenamePath(F + "\\~WRD0001.tmp", F + "\\r.doc");
    ASSERT_TRUE(WaitForReportLines(F, 3));
    DeletePath(F + "\\~WRL0002.tmp");
    ASSERT_TRUE(WaitForReportLines(F, 4));

    // Spreadsheet: the new workbook is written to a name without extension and
    // renamed onto the workbook; the workbook's deletion right after is dropped.
    StartOfNextSecond();
    WriteTextFile(F + "\\5A3B9C10", "sheet");
    ASSERT_TRUE(WaitForReportLines(F, 5));
    RenamePath(F + "\\5A3B9C10", F + "\\book.xls");
    ASSERT_TRUE(WaitForReportLines(F, 6));
    DeletePath(F + "\\book.xls");

    // Presentation: its temporary file's rename is not reported at all.
    StartOfNextSecond();
    WriteTextFile(F + "\\ppt12.tmp", "slides");
    ASSERT_TRUE(WaitForReportLines(F, 7));
    RenamePath(F + "\\ppt12.tmp", F + "\\deck.ppt");
    Settle();
    EXPECT_EQ(ReportLines(F),
              ForThisType({"L Add F\\r.doc", "L Add F\\~WRD0001.tmp", "L Modify F\\r.doc",
                           "L Delete F\\~WRL0002.tmp", "L Add F\\5A3B9C10", "L Modify F\\book.xls",
                           "L Add F\\ppt12.tmp"}));
}

TEST_P(EndToEndBothTypes, PasteOfACopiedFileIsReportedAsCopy) {
    CopiedFiles copied;
    ASSERT_TRUE(copied.IsOpen()) << "the component creates the shared list";
    const std::string F = NewFolder(Root());
    copied.Set("C:\\src\\c.txt|C:\\src\\other.txt");
    StartOfNextSecond();
    WriteTextFile(F + "\\c.txt", "pasted");
    ASSERT_TRUE(WaitForReportLines(F, 1));
    copied.Set("");
    WriteTextFile(F + "\\d.txt", "typed");
    ASSERT_TRUE(WaitForReportLines(F, 2));
    Settle();
    EXPECT_EQ(ReportLines(F, true),
              ForThisType({"L Copy C:\\src\\c.txt ==> F\\c.txt [C:\\src\\c.txt|F\\c.txt]",
                           "L Add F\\d.txt [C:\\src\\c.txt|F\\c.txt]"}));
}

TEST_F(EndToEnd, RemovableDriveReportsGoToTheUsbCallbackOnly) {
    const std::string U = NewFolder(RemovableDriveRoot());
    const std::string L = NewFolder(FixedDriveRoot());
    StartOfNextSecond();
    WriteTextFile(U + "\\u.txt", "usb");
    WriteTextFile(L + "\\l.txt", "local");
    ASSERT_TRUE(WaitForReportLines(U, 1));
    ASSERT_TRUE(WaitForReportLines(L, 1));
    Settle();
    EXPECT_EQ(ReportLines(U), Lines{"U Add F\\u.txt"});
    EXPECT_EQ(ReportLines(L), Lines{"L Add F\\l.txt"});
    for (const HostReport& report : Reports()) {
        if (report.event.strPath.find(U) != std::string::npos) {
            EXPECT_EQ(report.event.strRuleTag, "usb-last");
        }
    }

    // The host's own query accepts events on the recorded removable root only,
    // with the first matching rule's tag.
    FileMonEvent usbEvent;
    usbEvent.strPath = U + "\\u.txt";
    usbEvent.strAction = "Add";
    EXPECT_TRUE(m_session.Monitor()->CheckEvent(&m_usbRules, &usbEvent));
    EXPECT_EQ(usbEvent.strRuleTag, "usb-first");
    FileMonEvent localEvent;
    localEvent.strPath = L + "\\l.txt";
    localEvent.strAction = "Add";
    EXPECT_FALSE(m_session.Monitor()->CheckEvent(&m_localRules, &localEvent));
    EXPECT_EQ(localEvent.strRuleTag, "");

    // Adding the root of a drive that is already watched answers true.
    EXPECT_TRUE(m_session.Monitor()->AddDrive(RemovableDriveRoot().c_str()));
}

TEST_F(EndToEnd, MovesIntoTheRecycleBinAreNotReported) {
    const std::string strBin = FixedDriveRoot() + "$Recycle.Bin";
    RemoveTree(strBin);
    ::Sleep(200);
    ASSERT_TRUE(::CreateDirectoryA(strBin.c_str(), nullptr));
    m_arrFolders.push_back(strBin);
    const std::string strUserBin = strBin + "\\S-1-5-21-policy";
    ASSERT_TRUE(::CreateDirectoryA(strUserBin.c_str(), nullptr));
    const std::string F = NewFolder(FixedDriveRoot());
    WriteTextFile(F + "\\z.txt", "bin");
    ASSERT_TRUE(WaitForReportLines(F, 1));
    RenamePath(F + "\\z.txt", strUserBin + "\\$R1.txt");
    RenamePath(strUserBin + "\\$R1.txt", F + "\\z.txt");
    ASSERT_TRUE(WaitForReportLines(F, 2));
    Settle();
    EXPECT_EQ(ReportLines(F),
              (Lines{"L Add F\\z.txt", "L Rename " + strUserBin + "\\$R1.txt ==> F\\z.txt"}));
}

namespace {

constexpr char kChildSwitch[] = "TERN_POLICY_E2E_SOURCE_FOLDER";

std::string SourceFolderForChild() {
    const char* pszFolder = std::getenv(kChildSwitch);
    return pszFolder != nullptr ? pszFolder : "";
}

}  // namespace

// Runs in a copy of this program at D:\<folder>\bin, without regex.dll beside it.
TEST(EndToEndChild, InstallRootIgnoredAndRegexPickedUpOnceItArrives) {
    const std::string strSource = SourceFolderForChild();
    if (strSource.empty()) GTEST_SKIP() << "runs in a copy of this program only";
    const std::string strHere = ThisProgramFolder();
    const std::string strInstallRoot = strHere.substr(0, strHere.rfind('\\'));
    ASSERT_EQ(::GetFileAttributesA((strHere + "\\regex.dll").c_str()), INVALID_FILE_ATTRIBUTES);

    ClearReports();
    FileMonRuleList rules;
    rules.push_back(FileMonRule{"*.txt", "", "Add", "wild"});
    rules.push_back(FileMonRule{"exact.txt", "", "Add", "exact"});
    std::vector<std::string> arrFolders;
    {
        HostSession session;
        ASSERT_TRUE(session.Start(FILEMON_LOCAL, &rules));
        // Any path that contains the installation root is the client's own.
        const std::string strOwn = strInstallRoot + "-data";
        ASSERT_TRUE(::CreateDirectoryA(strOwn.c_str(), nullptr));
        arrFolders.push_back(strOwn);
        const std::string F = MakeFreshFolder(FixedDriveRoot(), "policy-child-plain");
        arrFolders.push_back(F);
        ::Sleep(200);
        WriteTextFile(strOwn + "\\exact.txt", "own");
        WriteTextFile(F + "\\w.txt", "wildcard, no library");
        WriteTextFile(F + "\\exact.txt", "exact");
        ASSERT_TRUE(WaitForReportLines(F, 1));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), Lines{"L Add F\\exact.txt"});
        EXPECT_TRUE(ReportLines(strOwn).empty());

        ASSERT_TRUE(CopyBeside(strSource + "\\regex.dll", strHere));
        WriteTextFile(F + "\\w2.txt", "wildcard, library present");
        ASSERT_TRUE(WaitForReportLines(F, 2));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), (Lines{"L Add F\\exact.txt", "L Add F\\w2.txt"}));
        const std::vector<HostReport> arrReports = Reports();
        ASSERT_FALSE(arrReports.empty());
        EXPECT_EQ(arrReports.back().event.strRuleTag, "wild");
    }
    for (const std::string& strFolder : arrFolders) RemoveTree(strFolder);
}

TEST(EndToEndPlacement, HostInAFolderOfItsOwnWithoutRegexLibrary) {
    const std::string strRoot = MakeFreshFolder(FixedDriveRoot(), "policy-host");
    const std::string strBin = strRoot + "\\bin";
    ASSERT_TRUE(::CreateDirectoryA(strBin.c_str(), nullptr));
    ASSERT_TRUE(CopyBeside(ThisProgramFolder() + "\\TernFileMon.dll", strBin));
    const ChildResult result = RunCopyOfThisProgram(strBin, "EndToEndChild.*", kChildSwitch,
                                                    ThisProgramFolder(), 120000);
    EXPECT_TRUE(AllPassed(result, 1)) << result.strOutput;
    RemoveTree(strRoot);
}
