// Real file operations on the Wine test drives, reported to a host that
// started both monitor types through CreateObject and ITernFileMon.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "HostSession.h"
#include "ProgramRun.h"
#include "TestDrives.h"

using namespace terntest;

namespace {

using Lines = std::vector<std::string>;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ClearReportsAndLog();
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

// User actions on the fixed drive reach the FILEMON_LOCAL callback in order.
TEST_F(EndToEnd, AddRenameDeleteAndModify) {
    const std::string F = NewFolder(FixedDriveRoot());
    StartOfNextSecond();
    PacedWrite(F + "\\a.txt", "hello");  // added and written: one "Add"
    ASSERT_TRUE(WaitForReportLines(F, 1));
    PacedRename(F + "\\a.txt", F + "\\b.txt");
    ASSERT_TRUE(WaitForReportLines(F, 2));
    PacedDelete(F + "\\b.txt");
    ASSERT_TRUE(WaitForReportLines(F, 3));
    StartOfNextSecond();
    PacedWrite(F + "\\m.txt", "one");
    ASSERT_TRUE(WaitForReportLines(F, 4));
    StartOfNextSecond();
    PacedAppend(F + "\\m.txt", " two");  // a later second: a modification of its own
    ASSERT_TRUE(WaitForReportLines(F, 5));
    Settle();
    EXPECT_EQ(ReportLines(F, true),
              (Lines{"L Add F\\a.txt [|]",
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
        EXPECT_EQ(report.event.strRuleTag, "local-last") << report.event.strPath;
        EXPECT_EQ(report.event.strTime.size(), 19u);
    }
}

TEST_F(EndToEnd, RemovableDriveReportsGoToTheUsbCallbackOnly) {
    const std::string U = NewFolder(RemovableDriveRoot());
    const std::string L = NewFolder(FixedDriveRoot());
    StartOfNextSecond();
    PacedWrite(U + "\\u.txt", "usb");
    PacedWrite(L + "\\l.txt", "local");
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

namespace {

constexpr char kChildSwitch[] = "TERN_POLICY_E2E_SOURCE_FOLDER";

std::string SourceFolderForChild() {
    const char* pszFolder = std::getenv(kChildSwitch);
    return pszFolder != nullptr ? pszFolder : "";
}

}  // namespace

// Runs in a copy of this program at D:\<folder>\bin, without regex.dll beside it: the
// library is looked for beside the host only, and again while it is missing.
TEST(EndToEndChild, InstallRootIgnoredAndRegexPickedUpOnceItArrives) {
    const std::string strSource = SourceFolderForChild();
    if (strSource.empty()) GTEST_SKIP() << "runs in a copy of this program only";
    const std::string strHere = ThisProgramFolder();
    const std::string strInstallRoot = strHere.substr(0, strHere.rfind('\\'));
    ASSERT_EQ(::GetFileAttributesA((strHere + "\\regex.dll").c_str()), INVALID_FILE_ATTRIBUTES);

    ClearReportsAndLog();
    // On the search path regex.dll would be found: the matcher must not look there.
    ::SetDllDirectoryA(strSource.c_str());
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
        PacedWrite(strOwn + "\\exact.txt", "own");
        PacedWrite(F + "\\w.txt", "wildcard, no library");
        PacedWrite(F + "\\exact.txt", "exact");
        ASSERT_TRUE(WaitForReportLines(F, 1));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), Lines{"L Add F\\exact.txt"});
        EXPECT_TRUE(ReportLines(strOwn).empty());

        // A library of that name without the export is of no use, and not kept loaded.
        ASSERT_TRUE(::CopyFileA((strSource + "\\TernFileMon.dll").c_str(), (strHere + "\\regex.dll").c_str(), FALSE));
        PacedWrite(F + "\\w1.txt", "wildcard, library without the export");
        PacedDelete(F + "\\exact.txt");
        PacedWrite(F + "\\exact.txt", "exact again: once reported, w1.txt was decided");
        ASSERT_TRUE(WaitForReportLines(F, 2));
        ASSERT_TRUE(::CopyFileA((strSource + "\\regex.dll").c_str(), (strHere + "\\regex.dll").c_str(), FALSE))
            << "the first regex.dll is still loaded, error " << ::GetLastError();
        PacedWrite(F + "\\w2.txt", "wildcard, library present");
        ASSERT_TRUE(WaitForReportLines(F, 3));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), (Lines{"L Add F\\exact.txt", "L Add F\\exact.txt", "L Add F\\w2.txt"}));
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
    std::string strOutput;
    EXPECT_TRUE(RunTestsInCopy(strBin, "EndToEndChild.*", kChildSwitch, ThisProgramFolder(), 1, strOutput))
        << strOutput;
    RemoveTree(strRoot);
}
