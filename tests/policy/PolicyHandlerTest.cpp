// The policy handler fed with notifications by hand, on this thread: the
// user actions it makes of them and what reaches which host callback.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/filemon/FileMonitor.h"
#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "../../TernFileMon/policy/PolicyHandler.h"

using tern::CDirectoryChangeHandler_Policy;
using tern::CFileMonitor;
using tern::g_arrRecordedRoots;

namespace {

struct Report {
    char chSide;  // 'L' FILEMON_LOCAL, 'U' FILEMON_USB
    FileMonEvent event;
};
std::vector<Report> g_reports;

void TERN_CALLBACK ReportLocal(FileMonEvent* pEvent) { g_reports.push_back({'L', *pEvent}); }
void TERN_CALLBACK ReportUsb(FileMonEvent* pEvent) { g_reports.push_back({'U', *pEvent}); }

FileMonRule AnyFile(const std::string& strTag) {
    return FileMonRule{"*", "", "Add|Copy|Delete|Modify|Rename", strTag};
}

// Waits for the clock's next second, so that the steps right after it share
// one time stamp.
void StartOfNextSecond() {
    const std::string strNow = CDirectoryChangeHandler_Policy::TimeStamp();
    while (CDirectoryChangeHandler_Policy::TimeStamp() == strNow) ::Sleep(5);
}

// Puts a list of copied files into the shared section, as the client's
// clipboard watcher does ('|' between full paths).
void SetCopiedFiles(const std::string& strList) {
    ASSERT_NE(tern::g_pClipBufferView.Get(), nullptr);
    char* pszView = static_cast<char*>(tern::g_pClipBufferView.Get());
    std::memcpy(pszView, strList.c_str(), strList.size() + 1);
}

class PolicyHandler : public ::testing::Test {
protected:
    void SetUp() override {
        g_reports.clear();
        g_arrRecordedRoots.RemoveAll();
        m_localRules.push_back(AnyFile("local"));
        m_usbRules.push_back(AnyFile("usb"));
        m_monitor.m_pfnLocalCallback = ReportLocal;
        m_monitor.m_pfnUsbCallback = ReportUsb;
        m_monitor.m_pLocalRuleList = &m_localRules;
        m_monitor.m_pUsbRuleList = &m_usbRules;
        m_pHandler = new CDirectoryChangeHandler_Policy();
        m_pHandler->m_pRuleList = &m_localRules;
        m_pHandler->m_strInstallRoot = "c:\\client";
    }
    void TearDown() override {
        if (tern::g_pClipBufferView) SetCopiedFiles("");
        m_pHandler->Release();
        g_arrRecordedRoots.RemoveAll();
    }
    std::vector<std::string> Actions() const {
        std::vector<std::string> arr;
        for (const Report& report : g_reports) {
            arr.push_back(std::string(1, report.chSide) + " " + report.event.strAction + " " +
                          report.event.strPath);
        }
        return arr;
    }

    FileMonRuleList m_localRules;
    FileMonRuleList m_usbRules;
    CFileMonitor m_monitor{nullptr};
    CDirectoryChangeHandler_Policy* m_pHandler = nullptr;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST(PolicyHandlerStatic, InstallRootIsTheFolderAboveTheExecutablesFolder) {
    EXPECT_EQ(CDirectoryChangeHandler_Policy::InstallRootOf("C:\\Program Files\\Client\\bin\\host.exe"),
              "c:\\program files\\client");
    EXPECT_EQ(CDirectoryChangeHandler_Policy::InstallRootOf("C:\\host.exe"), "c:");
    EXPECT_EQ(CDirectoryChangeHandler_Policy::InstallRootOf("host.exe"), "host.exe");
    EXPECT_EQ(CDirectoryChangeHandler_Policy::InstallRootOf(""), "");

    CDirectoryChangeHandler_Policy* pHandler = new CDirectoryChangeHandler_Policy();
    char szExe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    EXPECT_EQ(pHandler->m_strInstallRoot, CDirectoryChangeHandler_Policy::InstallRootOf(szExe));
    EXPECT_EQ(pHandler->m_pRuleList, nullptr);
    EXPECT_FALSE(pHandler->m_bWordTempAdded);
    EXPECT_EQ(pHandler->m_Event.strAction, "");
    EXPECT_EQ(pHandler->Release(), 0);

    const std::string strStamp = CDirectoryChangeHandler_Policy::TimeStamp();
    ASSERT_EQ(strStamp.size(), 19u);
    EXPECT_EQ(strStamp[4], '-');
    EXPECT_EQ(strStamp[10], ' ');
    EXPECT_EQ(strStamp[13], ':');
}

TEST_F(PolicyHandler, PathsContainingTheInstallRootAreIgnoredCompletely) {
    m_pHandler->OnFileAdded("C:\\Client\\bin\\x.txt");
    m_pHandler->OnFileAdded("D:\\copy of C:\\CLIENT\\x.txt");  // anywhere, any case
    m_pHandler->OnFileRemoved("c:\\client\\x.txt");
    m_pHandler->OnFileModified("C:\\Client\\x.txt");
    m_pHandler->OnFileRenamed("C:\\Client\\x.txt", "D:\\x.txt");  // the old path decides
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(m_pHandler->m_Event.strAction, "");
    EXPECT_EQ(m_pHandler->m_Event.strTime, "");

    m_pHandler->OnFileRenamed("D:\\x.txt", "C:\\Client\\x.txt");
    EXPECT_EQ(Actions(), Lines{"L Rename D:\\x.txt ==> C:\\Client\\x.txt"});
}

TEST_F(PolicyHandler, AddThenModifyInTheSameSecondIsOneAdd) {
    StartOfNextSecond();
    m_pHandler->OnFileAdded("D:\\a.txt");
    m_pHandler->OnFileModified("D:\\a.txt");
    m_pHandler->OnFileModified("D:\\a.txt");
    ASSERT_EQ(Actions(), Lines{"L Add D:\\a.txt"});
    EXPECT_EQ(g_reports[0].event.strTime, m_pHandler->m_Event.strTime);
    EXPECT_EQ(g_reports[0].event.strRuleTag, "local");

    // A later second is a modification of its own, reported through a record
    // of its own with empty source and target.
    StartOfNextSecond();
    m_pHandler->OnFileModified("D:\\a.txt");
    ASSERT_EQ(Actions(), (Lines{"L Add D:\\a.txt", "L Modify D:\\a.txt"}));
    EXPECT_NE(g_reports[1].event.strTime, g_reports[0].event.strTime);
    EXPECT_EQ(g_reports[1].event.strSource, "");
    EXPECT_EQ(m_pHandler->m_Event.strAction, "Add");  // a modification leaves m_Event alone
}

TEST_F(PolicyHandler, RenameAndDeleteReportWithSourceAndTarget) {
    StartOfNextSecond();
    m_pHandler->OnFileRenamed("D:\\d\\x.txt", "D:\\d\\y.txt");
    m_pHandler->OnFileModified("D:\\d\\y.txt");  // echo of the rename
    m_pHandler->OnFileModified("D:\\d\\x.txt");  // so is its old name
    m_pHandler->OnFileRemoved("D:\\d\\z.txt");
    ASSERT_EQ(Actions(), (Lines{"L Rename D:\\d\\x.txt ==> D:\\d\\y.txt", "L Delete D:\\d\\z.txt"}));
    EXPECT_EQ(g_reports[0].event.strSource, "D:\\d\\x.txt");
    EXPECT_EQ(g_reports[0].event.strTarget, "D:\\d\\y.txt");
    // A later Delete still carries the rename's source and target.
    EXPECT_EQ(g_reports[1].event.strSource, "D:\\d\\x.txt");
    EXPECT_EQ(g_reports[1].event.strTarget, "D:\\d\\y.txt");
}

TEST_F(PolicyHandler, WordProcessorSaveIsAModificationOfTheDocument) {
    // The temporary file at index 8 of its path does not count; one in a folder does.
    m_pHandler->OnFileAdded("D:\\~WRD1.tmp");
    EXPECT_FALSE(m_pHandler->m_bWordTempAdded);
    m_pHandler->OnFileRenamed("D:\\d\\~WRD0001.tmp", "D:\\d\\r.doc");  // no addition seen: nothing
    m_pHandler->OnFileAdded("D:\\d\\~WRD0001.tmp");
    EXPECT_TRUE(m_pHandler->m_bWordTempAdded);
    m_pHandler->OnFileRenamed("D:\\d\\r.doc", "D:\\d\\~WRL0002.tmp");  // the backup: nothing
    m_pHandler->OnFileRenamed("D:\\d\\~WRD0001.tmp", "D:\\d\\r.doc");
    EXPECT_FALSE(m_pHandler->m_bWordTempAdded);
    m_pHandler->OnFileRenamed("D:\\d\\~WRD0003.tmp", "D:\\d\\r.doc");  // flag consumed: nothing
    EXPECT_EQ(Actions(), (Lines{"L Add D:\\~WRD1.tmp", "L Add D:\\d\\~WRD0001.tmp",
                                "L Modify D:\\d\\r.doc"}));
}

TEST_F(PolicyHandler, SpreadsheetAndPresentationSaves) {
    m_pHandler->OnFileRenamed("D:\\d\\5A3B9C10", "D:\\d\\book.xls");
    m_pHandler->OnFileRemoved("D:\\d\\book.xls");  // the old workbook: not reported
    m_pHandler->OnFileRemoved("D:\\d\\other.xls");
    m_pHandler->OnFileRenamed("D:\\d\\ppt12.tmp", "D:\\d\\deck.ppt");  // nothing
    // A dot anywhere in the old path, a folder name included, makes it a plain rename.
    m_pHandler->OnFileRenamed("D:\\my.docs\\5A3B9C10", "D:\\my.docs\\book.xls");
    EXPECT_EQ(Actions(), (Lines{"L Modify D:\\d\\book.xls", "L Delete D:\\d\\other.xls",
                                "L Rename D:\\my.docs\\5A3B9C10 ==> D:\\my.docs\\book.xls"}));
}

TEST_F(PolicyHandler, EachEventReachesTheCallbackOfItsSideOnly) {
    g_arrRecordedRoots.Append("E:\\");
    m_pHandler->OnFileAdded("E:\\u.txt");
    m_pHandler->OnFileAdded("D:\\l.txt");
    StartOfNextSecond();
    m_pHandler->OnFileModified("E:\\u2.txt");
    m_pHandler->OnFileModified("D:\\l2.txt");
    ASSERT_EQ(Actions(), (Lines{"U Add E:\\u.txt", "L Add D:\\l.txt", "U Modify E:\\u2.txt",
                                "L Modify D:\\l2.txt"}));
    EXPECT_EQ(g_reports[0].event.strRuleTag, "usb");
    EXPECT_EQ(g_reports[1].event.strRuleTag, "local");

    // No callback for a side, or no rule list on the handler: not reported.
    g_reports.clear();
    m_monitor.m_pfnUsbCallback = nullptr;
    m_pHandler->OnFileAdded("E:\\u3.txt");
    m_pHandler->m_pRuleList = nullptr;
    m_pHandler->OnFileAdded("D:\\l3.txt");
    StartOfNextSecond();
    m_pHandler->OnFileModified("D:\\l3.txt");
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(m_pHandler->m_Event.strPath, "D:\\l3.txt");
}

TEST_F(PolicyHandler, ReportsTakeTheLastMatchingRulesTag) {
    m_localRules.clear();
    m_localRules.push_back(FileMonRule{"a.txt", "", "Add", "first"});
    m_localRules.push_back(FileMonRule{"a.txt", "", "Add", "last"});
    m_localRules.push_back(FileMonRule{"a.txt", "", "Delete", "other action"});
    m_pHandler->OnFileAdded("D:\\A.TXT");
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].event.strRuleTag, "last");
    EXPECT_EQ(m_pHandler->m_Event.strRuleTag, "last");
}

TEST_F(PolicyHandler, HandlerMatchingUsesFileNamesAndTheOldNameOfARename) {
    m_localRules.clear();
    m_localRules.push_back(FileMonRule{"Report.doc", "", "Rename", "old name"});
    m_localRules.push_back(FileMonRule{"?:\\work\\*", "", "Rename|Modify", "path pattern"});
    // An exact rule with capitals catches a rename by the old file name only.
    m_pHandler->OnFileRenamed("D:\\work\\Report.doc", "D:\\work\\final.doc");
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].event.strRuleTag, "old name");
    // The fallback of a handler report is a file name: a path pattern misses it,
    // while the Modify path compares the whole path.
    m_pHandler->OnFileRenamed("D:\\work\\a.txt", "D:\\work\\b.txt");
    EXPECT_EQ(g_reports.size(), 1u);
    StartOfNextSecond();
    m_pHandler->OnFileModified("D:\\work\\c.txt");
    ASSERT_EQ(g_reports.size(), 2u);
    EXPECT_EQ(g_reports[1].event.strRuleTag, "path pattern");

    // A move into the recycle bin is not reported; the restore is.
    g_reports.clear();
    m_localRules.push_back(AnyFile("any"));
    m_pHandler->OnFileRenamed("D:\\d\\a.txt", "D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt");
    m_pHandler->OnFileRenamed("D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt", "D:\\d\\a.txt");
    EXPECT_EQ(Actions(), Lines{"L Rename D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt ==> D:\\d\\a.txt"});
}

TEST_F(PolicyHandler, WithoutFileMonitorNothingIsReported) {
    tern::CFileMonitor* pSaved = tern::g_pFileMonitor;
    tern::g_pFileMonitor = nullptr;
    m_pHandler->OnFileAdded("D:\\a.txt");
    m_pHandler->OnFileModified("D:\\b.txt");
    tern::g_pFileMonitor = pSaved;
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(m_pHandler->m_Event.strPath, "D:\\a.txt");
}

TEST_F(PolicyHandler, PasteOfACopiedFileIsACopyWithItsEchoesDropped) {
    SetCopiedFiles("C:\\src\\a.txt|C:\\src\\same.txt");
    StartOfNextSecond();
    m_pHandler->OnFileAdded("D:\\d\\a.txt");
    m_pHandler->OnFileModified("D:\\d\\a.txt");  // the copy's own writing
    ASSERT_EQ(Actions(), Lines{"L Copy C:\\src\\a.txt ==> D:\\d\\a.txt"});
    EXPECT_EQ(g_reports[0].event.strSource, "C:\\src\\a.txt");
    EXPECT_EQ(g_reports[0].event.strTarget, "D:\\d\\a.txt");

    // A later addition that is no copy is an "Add" that still carries the
    // copy's source and target.
    SetCopiedFiles("");
    m_pHandler->OnFileAdded("D:\\d\\new.txt");
    ASSERT_EQ(g_reports.size(), 2u);
    EXPECT_EQ(g_reports[1].event.strAction, "Add");
    EXPECT_EQ(g_reports[1].event.strSource, "C:\\src\\a.txt");
    EXPECT_EQ(g_reports[1].event.strTarget, "D:\\d\\a.txt");

    // A copy onto itself is not reported, and its modification in the same
    // second is an echo.
    g_reports.clear();
    SetCopiedFiles("D:\\d\\same.txt");
    StartOfNextSecond();
    m_pHandler->OnFileAdded("D:\\d\\same.txt");
    m_pHandler->OnFileModified("D:\\d\\same.txt");
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(m_pHandler->m_Event.strAction, "Copy");
}
