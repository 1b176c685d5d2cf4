// The rule matcher on hand-built events: the root test, the candidates, the
// action test and the differences between the three entry points.
#include <gtest/gtest.h>

#include <string>

#include "../../TernFileMon/filemon/FileMonitor.h"
#include "../../TernFileMon/filemon/RecordedRoots.h"

using tern::CFileMonitor;
using tern::g_arrRecordedRoots;

namespace {

FileMonEvent MakeEvent(const std::string& strAction, const std::string& strPath,
                       const std::string& strSource = "", const std::string& strTarget = "") {
    FileMonEvent event;
    event.strPath = strPath;
    event.strTime = "2026-01-02 03:04:05";
    event.strAction = strAction;
    event.strSource = strSource;
    event.strTarget = strTarget;
    return event;
}

FileMonRule MakeRule(const std::string& strPattern, const std::string& strActions,
                     const std::string& strTag) {
    return FileMonRule{strPattern, "label", strActions, strTag};
}

FileMonEvent MakeCopy(const std::string& strSource, const std::string& strTarget) {
    return MakeEvent("Copy", strSource + " ==> " + strTarget, strSource, strTarget);
}

FileMonEvent MakeRename(const std::string& strOld, const std::string& strNew) {
    return MakeEvent("Rename", strOld + " ==> " + strNew, strOld, strNew);
}

class RuleMatcher : public ::testing::Test {
public:  // also used by the threads of the concurrency test
    void SetUp() override {
        g_arrRecordedRoots.RemoveAll();
        m_monitor.m_pUsbRuleList = &m_usbRules;
        m_monitor.m_pLocalRuleList = &m_localRules;
    }
    void TearDown() override { g_arrRecordedRoots.RemoveAll(); }

    // The Modify path of a policy handler: root gate 1, the handler's list given.
    bool MatchModify(FileMonEvent& event, bool bUsbSide) {
        return m_monitor.MatchModifyEvent(&event, &m_givenRules, bUsbSide, 1);
    }

    CFileMonitor m_monitor{nullptr};
    FileMonRuleList m_usbRules;
    FileMonRuleList m_localRules;
    FileMonRuleList m_givenRules;  // what a handler hands in; replaced by the side's list
};

}  // namespace

TEST_F(RuleMatcher, ExactRuleComparesWithTheLowerCasedFileName) {
    m_localRules.push_back(MakeRule("report.doc", "Modify", "lower"));
    m_localRules.push_back(MakeRule("Report.DOC", "Modify", "mixed"));
    FileMonEvent event = MakeEvent("Modify", "C:\\D\\Report.DOC");
    EXPECT_TRUE(MatchModify(event, false));
    EXPECT_EQ(event.strRuleTag, "lower");  // "Report.DOC" never equals a lower-cased name

    FileMonEvent other = MakeEvent("Modify", "C:\\report.doc\\other.doc");
    EXPECT_FALSE(MatchModify(other, false));  // the folder name is not the file name
    EXPECT_EQ(other.strRuleTag, "");

    FileMonEvent noFolder = MakeEvent("Modify", "report.doc");
    EXPECT_TRUE(MatchModify(noFolder, false));
}

TEST_F(RuleMatcher, RecordedRootsDecideTheSide) {
    g_arrRecordedRoots.Append("e:\\");
    m_usbRules.push_back(MakeRule("a.txt", "Copy|Modify", "usb"));
    m_localRules.push_back(MakeRule("a.txt", "Copy|Modify", "local"));

    // A copy from C: to E: touches E:\ through its target...
    FileMonEvent copy = MakeCopy("C:\\a.txt", "E:\\a.txt");
    EXPECT_FALSE(MatchModify(copy, false));
    EXPECT_EQ(copy.strRuleTag, "");
    EXPECT_TRUE(MatchModify(copy, true));
    EXPECT_EQ(copy.strRuleTag, "usb");
    // ...and one from E: to C: through its source.
    FileMonEvent copyBack = MakeCopy("E:\\a.txt", "C:\\a.txt");
    EXPECT_FALSE(MatchModify(copyBack, false));
    EXPECT_TRUE(MatchModify(copyBack, true));

    // A Modify touches a root only through its path.
    FileMonEvent modifyLocal = MakeEvent("Modify", "C:\\a.txt", "E:\\x", "E:\\y");
    EXPECT_TRUE(MatchModify(modifyLocal, false));
    EXPECT_EQ(modifyLocal.strRuleTag, "local");
    EXPECT_FALSE(MatchModify(modifyLocal, true));
    FileMonEvent modifyUsb = MakeEvent("Modify", "E:\\dir\\a.txt");
    EXPECT_FALSE(MatchModify(modifyUsb, false));
    EXPECT_TRUE(MatchModify(modifyUsb, true));

    // A rename touches the drive of its old path only.
    m_usbRules.push_back(MakeRule("b.txt", "Rename", "usb-rename"));
    m_localRules.push_back(MakeRule("b.txt", "Rename", "local-rename"));
    FileMonEvent rename = MakeRename("C:\\a.txt", "E:\\b.txt");
    EXPECT_TRUE(MatchModify(rename, false));
    EXPECT_EQ(rename.strRuleTag, "local-rename");

    // A path without a drive letter has the drive "\".
    g_arrRecordedRoots.Append("\\");
    FileMonEvent relative = MakeEvent("Modify", "a.txt");
    EXPECT_TRUE(MatchModify(relative, true));
    EXPECT_FALSE(MatchModify(relative, false));
}

TEST_F(RuleMatcher, NullListsAndRecordsGiveFalse) {
    m_localRules.push_back(MakeRule("a.txt", "Modify", "local"));
    FileMonEvent event = MakeEvent("Modify", "C:\\a.txt");
    EXPECT_FALSE(m_monitor.MatchModifyEvent(&event, nullptr, false, 1));
    EXPECT_FALSE(m_monitor.MatchModifyEvent(nullptr, &m_givenRules, false, 1));
    EXPECT_FALSE(m_monitor.MatchEvent(nullptr, &event));
    EXPECT_FALSE(m_monitor.MatchEvent(&m_localRules, nullptr));
    m_monitor.m_pLocalRuleList = nullptr;  // the side has no rules
    EXPECT_FALSE(MatchModify(event, false));
    EXPECT_EQ(event.strRuleTag, "");

    FileMonRuleList empty;
    g_arrRecordedRoots.Append("C:\\");
    EXPECT_FALSE(m_monitor.MatchEvent(&empty, &event));
}

TEST_F(RuleMatcher, RootGateOtherThanOneUsesTheGivenListWithoutRootTest) {
    g_arrRecordedRoots.Append("C:\\");
    m_givenRules.push_back(MakeRule("a.txt", "Modify", "given"));
    m_usbRules.push_back(MakeRule("a.txt", "Modify", "usb"));
    FileMonEvent event = MakeEvent("Modify", "C:\\a.txt");
    EXPECT_TRUE(m_monitor.MatchModifyEvent(&event, &m_givenRules, false, 0));
    EXPECT_EQ(event.strRuleTag, "given");
    EXPECT_TRUE(m_monitor.MatchModifyEvent(&event, &m_givenRules, true, 2));
    EXPECT_EQ(event.strRuleTag, "given");
    EXPECT_TRUE(m_monitor.MatchModifyEvent(&event, &m_givenRules, true, 1));
    EXPECT_EQ(event.strRuleTag, "usb");
    EXPECT_FALSE(m_monitor.MatchModifyEvent(&event, &m_givenRules, false, 1));
}

TEST_F(RuleMatcher, ActionListsIgnoreCaseAndSeparators) {
    g_arrRecordedRoots.Append("C:\\");
    FileMonRuleList rules;
    rules.push_back(MakeRule("a.txt", "ADD|delete", "t"));
    FileMonEvent add = MakeEvent("Add", "C:\\a.txt");
    FileMonEvent del = MakeEvent("delete", "C:\\a.txt");
    FileMonEvent rename = MakeRename("C:\\x.txt", "C:\\a.txt");
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &add));
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &del));
    EXPECT_FALSE(m_monitor.MatchEvent(&rules, &rename));

    rules.front().strActions = "AddDelete";
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &add));
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &del));

    // An empty list accepts no action; an empty action passes every list.
    rules.front().strActions = "";
    EXPECT_FALSE(m_monitor.MatchEvent(&rules, &add));
    FileMonEvent noAction = MakeEvent("", "C:\\a.txt");
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &noAction));
    EXPECT_EQ(noAction.strRuleTag, "t");
}

TEST_F(RuleMatcher, RecycleBinIsExcludedExceptForTheHostsOwnQuery) {
    g_arrRecordedRoots.Append("C:\\");
    m_usbRules.push_back(MakeRule("$r1.txt", "Rename", "bin"));
    m_usbRules.push_back(MakeRule("a.txt", "Rename|Delete", "restore"));
    FileMonEvent intoBin = MakeRename("C:\\d\\a.txt", "C:\\$Recycle.Bin\\S-1-5-21\\$R1.txt");
    EXPECT_FALSE(MatchModify(intoBin, true));
    FileMonEvent intoBinCopy = intoBin;
    EXPECT_TRUE(m_monitor.MatchEvent(&m_usbRules, &intoBinCopy));
    EXPECT_EQ(intoBinCopy.strRuleTag, "bin");

    for (const char* pszBin : {"C:\\RECYCLED\\a.txt", "c:\\Recycler\\S-1\\a.txt"}) {
        FileMonEvent deleted = MakeEvent("Delete", pszBin);
        EXPECT_FALSE(MatchModify(deleted, true)) << pszBin;
    }
    // Only right after the drive: a folder named like a bin deeper down is ordinary.
    FileMonEvent deeper = MakeEvent("Delete", "C:\\x\\recycled\\a.txt");
    EXPECT_TRUE(MatchModify(deeper, true));

    // Restoring out of the bin is an ordinary rename.
    FileMonEvent restore = MakeRename("C:\\$Recycle.Bin\\S-1-5-21\\$R1.txt", "C:\\d\\a.txt");
    EXPECT_TRUE(MatchModify(restore, true));
    EXPECT_EQ(restore.strRuleTag, "restore");
}

TEST_F(RuleMatcher, ReportsTakeTheLastMatchingRuleTheHostsQueryTheFirst) {
    g_arrRecordedRoots.Append("C:\\");
    m_usbRules.push_back(MakeRule("a.txt", "Modify", "X"));
    m_usbRules.push_back(MakeRule("b.txt", "Modify", "unrelated"));
    m_usbRules.push_back(MakeRule("a.txt", "Modify", "Y"));
    m_usbRules.push_back(MakeRule("a.txt", "Delete", "wrong action"));
    FileMonEvent report = MakeEvent("Modify", "C:\\a.txt");
    EXPECT_TRUE(MatchModify(report, true));
    EXPECT_EQ(report.strRuleTag, "Y");
    FileMonEvent query = MakeEvent("Modify", "C:\\a.txt");
    EXPECT_TRUE(m_monitor.MatchEvent(&m_usbRules, &query));
    EXPECT_EQ(query.strRuleTag, "X");

    // No accepting rule leaves an earlier tag alone.
    FileMonEvent unmatched = MakeEvent("Add", "C:\\a.txt");
    unmatched.strRuleTag = "earlier";
    EXPECT_FALSE(m_monitor.MatchEvent(&m_usbRules, &unmatched));
    EXPECT_EQ(unmatched.strRuleTag, "earlier");
}

TEST_F(RuleMatcher, HostsQueryNeedsARecordedRoot) {
    FileMonRuleList rules;
    rules.push_back(MakeRule("a.txt", "Add", "t"));
    FileMonEvent event = MakeEvent("Add", "D:\\a.txt");
    EXPECT_FALSE(m_monitor.MatchEvent(&rules, &event));
    g_arrRecordedRoots.Append("c:\\");
    EXPECT_FALSE(m_monitor.MatchEvent(&rules, &event));
    g_arrRecordedRoots.Append("d:\\");
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &event));
}

TEST_F(RuleMatcher, WildcardRulesUseRegexLibraryWithPathFallback) {
    g_arrRecordedRoots.Append("C:\\");
    // The file name of the (lower-cased) main text.
    m_usbRules.push_back(MakeRule("*.DOC", "Modify|Copy|Rename", "name"));
    FileMonEvent modify = MakeEvent("Modify", "C:\\Work\\Report.Doc");
    EXPECT_TRUE(MatchModify(modify, true));
    EXPECT_EQ(modify.strRuleTag, "name");
    EXPECT_NE(m_monitor.m_pfnMatchPattern.load(), nullptr);

    // A path pattern reaches the fallback text, the whole source path, in the
    // Modify and query variants.
    FileMonRuleList rules;
    rules.push_back(MakeRule("?:\\work\\*", "Copy", "path"));
    FileMonEvent copy = MakeCopy("C:\\Work\\a.txt", "C:\\Out\\b.txt");
    EXPECT_TRUE(m_monitor.MatchEvent(&rules, &copy));
    EXPECT_EQ(copy.strRuleTag, "path");
    FileMonEvent copy2 = copy;
    EXPECT_TRUE(m_monitor.MatchModifyEvent(&copy2, &rules, false, 0));
    FileMonEvent elsewhere = MakeCopy("C:\\Other\\a.txt", "C:\\Out\\b.txt");
    EXPECT_FALSE(m_monitor.MatchEvent(&rules, &elsewhere));
}

namespace {

struct ConcurrencyShared {
    RuleMatcher* pTest;
    volatile LONG nWrongAnswers;
    volatile LONG bStop;
};

// Whatever the recorded roots are at the moment of a call, an accepting side
// has taken its own rule, and the matching function is there.
DWORD WINAPI MatcherThread(LPVOID pParam) {
    ConcurrencyShared* pShared = static_cast<ConcurrencyShared*>(pParam);
    for (int i = 0; i < 400; ++i) {
        const bool bUsbSide = (i % 2) != 0;
        FileMonEvent event = MakeEvent("Modify", "E:\\dir\\a.txt");
        if (pShared->pTest->MatchModify(event, bUsbSide) &&
            event.strRuleTag != (bUsbSide ? "usb" : "local")) {
            ::InterlockedIncrement(&pShared->nWrongAnswers);
        }
        if (pShared->pTest->m_monitor.LoadMatchPattern() == nullptr) {
            ::InterlockedIncrement(&pShared->nWrongAnswers);
        }
    }
    return 0;
}

DWORD WINAPI RootChangerThread(LPVOID pParam) {
    ConcurrencyShared* pShared = static_cast<ConcurrencyShared*>(pParam);
    while (pShared->bStop == 0) {
        g_arrRecordedRoots.Append("E:\\");
        g_arrRecordedRoots.Append("F:\\");
        g_arrRecordedRoots.RemoveAll();
    }
    return 0;
}

}  // namespace

TEST_F(RuleMatcher, ConcurrentMatchersSeeWholeRootListsAndOneLoadedFunction) {
    m_usbRules.push_back(MakeRule("*.txt", "Modify", "usb"));
    m_localRules.push_back(MakeRule("*.txt", "Modify", "local"));
    ConcurrencyShared shared = {this, 0, 0};
    HANDLE hRoots = ::CreateThread(nullptr, 0, RootChangerThread, &shared, 0, nullptr);
    ASSERT_NE(hRoots, nullptr);
    HANDLE arrMatchers[4];
    for (HANDLE& hThread : arrMatchers) {
        hThread = ::CreateThread(nullptr, 0, MatcherThread, &shared, 0, nullptr);
        ASSERT_NE(hThread, nullptr);
    }
    EXPECT_EQ(::WaitForMultipleObjects(4, arrMatchers, TRUE, 60000), WAIT_OBJECT_0);
    ::InterlockedExchange(&shared.bStop, 1);
    EXPECT_EQ(::WaitForSingleObject(hRoots, 10000), WAIT_OBJECT_0);
    for (HANDLE hThread : arrMatchers) ::CloseHandle(hThread);
    ::CloseHandle(hRoots);
    EXPECT_EQ(shared.nWrongAnswers, 0);
    EXPECT_NE(m_monitor.m_pfnMatchPattern.load(), nullptr);
}
