// The policy handler fed with notifications by hand, on this thread: the user
// actions it makes of them and what reaches which host callback.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "HostSession.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/filemon/FileMonitor.h"
#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "../../TernFileMon/policy/PolicyHandler.h"

using tern::CDirectoryChangeHandler_Policy;
using tern::g_arrRecordedRoots;
using Lines = std::vector<std::string>;

namespace {

std::vector<terntest::HostReport> g_reports;
void TERN_CALLBACK ReportLocal(FileMonEvent* pEvent) { g_reports.push_back({'L', *pEvent, 0}); }
void TERN_CALLBACK ReportUsb(FileMonEvent* pEvent) { g_reports.push_back({'U', *pEvent, 0}); }

FileMonRule AnyFile(const std::string& strTag) { return FileMonRule{"*", "", "Add|Copy|Delete|Modify|Rename", strTag}; }

// Puts a list of copied files into the shared section, as the client's
// clipboard watcher does ('|' between full paths).
void SetCopiedFiles(const std::string& strList) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    std::memcpy(tern::g_pClipBufferView.Get(), strList.c_str(), strList.size() + 1);
}

struct HandlerCase {
    const char* pszName;
    // "+path" added, "~path" modified, "-path" removed, "old>new" renamed, "|" the
    // clock's next second, "clip:list" the copied files, "root:R" a recorded root.
    std::vector<std::string> vecSteps;
    Lines vecReports;  // "side action path [source|target]"
};

const HandlerCase kCases[] = {
    {"paths containing the install root are ignored, anywhere, any case; a rename by its old path",
     {"+C:\\Client\\bin\\x.txt", "+D:\\copy of C:\\CLIENT\\x.txt", "-c:\\client\\x.txt", "~C:\\Client\\x.txt",
      "C:\\Client\\x.txt>D:\\x.txt", "D:\\x.txt>C:\\Client\\x.txt"},
     {"L Rename D:\\x.txt ==> C:\\Client\\x.txt [D:\\x.txt|C:\\Client\\x.txt]"}},
    {"an addition and its writing in one second are one Add; a later second is a Modify of its own",
     {"|", "+D:\\a.txt", "~D:\\a.txt", "~D:\\a.txt", "|", "~D:\\a.txt"},
     {"L Add D:\\a.txt [|]", "L Modify D:\\a.txt [|]"}},
    {"a rename and its echoes; a later Delete carries the rename's sides",
     {"|", "D:\\d\\x.txt>D:\\d\\y.txt", "~D:\\d\\y.txt", "~D:\\d\\x.txt", "-D:\\d\\z.txt"},
     {"L Rename D:\\d\\x.txt ==> D:\\d\\y.txt [D:\\d\\x.txt|D:\\d\\y.txt]",
      "L Delete D:\\d\\z.txt [D:\\d\\x.txt|D:\\d\\y.txt]"}},
    {"a word processor save is a modification of the document (its temporary file in a folder)",
     {"+D:\\~WRD1.tmp", "D:\\d\\~WRD0001.tmp>D:\\d\\r.doc", "+D:\\d\\~WRD0001.tmp",
      "D:\\d\\r.doc>D:\\d\\~WRL0002.tmp", "D:\\d\\~WRD0001.tmp>D:\\d\\r.doc", "D:\\d\\~WRD0003.tmp>D:\\d\\r.doc"},
     {"L Add D:\\~WRD1.tmp [|]", "L Add D:\\d\\~WRD0001.tmp [D:\\d\\~WRD0001.tmp|D:\\d\\r.doc]",
      "L Modify D:\\d\\r.doc [D:\\d\\~WRD0001.tmp|D:\\d\\r.doc]"}},
    {"spreadsheet and presentation saves; a dot in the old path makes a plain rename",
     {"D:\\d\\5A3B9C10>D:\\d\\book.xls", "-D:\\d\\book.xls", "-D:\\d\\other.xls", "D:\\d\\ppt12.tmp>D:\\d\\deck.ppt",
      "D:\\my.docs\\5A3B9C10>D:\\my.docs\\book.xls"},
     {"L Modify D:\\d\\book.xls [D:\\d\\5A3B9C10|D:\\d\\book.xls]",
      "L Delete D:\\d\\other.xls [D:\\d\\5A3B9C10|D:\\d\\book.xls]",
      "L Rename D:\\my.docs\\5A3B9C10 ==> D:\\my.docs\\book.xls [D:\\my.docs\\5A3B9C10|D:\\my.docs\\book.xls]"}},
    {"each event reaches the callback of its side only",
     {"root:E:\\", "+E:\\u.txt", "+D:\\l.txt", "|", "~E:\\u2.txt", "~D:\\l2.txt"},
     {"U Add E:\\u.txt [|]", "L Add D:\\l.txt [|]", "U Modify E:\\u2.txt [|]", "L Modify D:\\l2.txt [|]"}},
    {"a move into the recycle bin is not reported, the restore is",
     {"D:\\d\\a.txt>D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt", "D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt>D:\\d\\a.txt"},
     {"L Rename D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt ==> D:\\d\\a.txt [D:\\$Recycle.Bin\\S-1-5-21\\$R1.txt|D:\\d\\a.txt]"}},
    {"a paste is a Copy, its writing an echo; a copy onto itself is not reported",
     {"clip:C:\\src\\a.txt|C:\\src\\same.txt", "|", "+D:\\d\\a.txt", "~D:\\d\\a.txt", "clip:", "+D:\\d\\new.txt",
      "clip:D:\\d\\same.txt", "|", "+D:\\d\\same.txt", "~D:\\d\\same.txt"},
     {"L Copy C:\\src\\a.txt ==> D:\\d\\a.txt [C:\\src\\a.txt|D:\\d\\a.txt]",
      "L Add D:\\d\\new.txt [C:\\src\\a.txt|D:\\d\\a.txt]"}},
};

class PolicyHandler : public ::testing::Test {
protected:
    void SetUp() override {
        g_reports.clear();
        g_arrRecordedRoots.RemoveAll();
        m_localRules = {AnyFile("local")};
        m_usbRules = {AnyFile("usb")};
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
    void Run(const std::string& strStep) {
        const std::string strRest = strStep.substr(1);
        switch (strStep[0]) {
            case '+': m_pHandler->OnFileAdded(strRest); return;
            case '~': m_pHandler->OnFileModified(strRest); return;
            case '-': m_pHandler->OnFileRemoved(strRest); return;
            case '|': terntest::StartOfNextSecond(); return;
        }
        if (strStep.rfind("clip:", 0) == 0) return SetCopiedFiles(strStep.substr(5));
        if (strStep.rfind("root:", 0) == 0) return g_arrRecordedRoots.Append(strStep.substr(5));
        const size_t nArrow = strStep.find('>');
        m_pHandler->OnFileRenamed(strStep.substr(0, nArrow), strStep.substr(nArrow + 1));
    }
    static Lines ReportLines() {
        Lines arr;
        for (const auto& report : g_reports) {
            arr.push_back(std::string(1, report.chSide) + " " + report.event.strAction + " " + report.event.strPath +
                          " [" + report.event.strSource + "|" + report.event.strTarget + "]");
        }
        return arr;
    }

    FileMonRuleList m_localRules, m_usbRules;
    tern::CFileMonitor m_monitor{nullptr};
    CDirectoryChangeHandler_Policy* m_pHandler = nullptr;
};

}  // namespace

TEST_F(PolicyHandler, Table) {
    for (const HandlerCase& c : kCases) {
        TearDown();
        SetUp();
        for (const std::string& strStep : c.vecSteps) Run(strStep);
        EXPECT_EQ(ReportLines(), c.vecReports) << c.pszName;
        for (const auto& report : g_reports) {
            EXPECT_EQ(report.event.strRuleTag, report.chSide == 'U' ? "usb" : "local") << c.pszName;
            EXPECT_EQ(report.event.strTime.size(), 19u) << c.pszName;
        }
    }
}

// The live clock reads the system time itself: the same whole seconds as the
// C runtime's clock, which the stamps were first made from.
TEST(PolicyClock, CountsTheSecondsOfTheRuntimeClock) {
    const __time64_t tBefore = ::_time64(nullptr);
    const __time64_t tNow = tern::g_livePolicyEnvironment.CurrentTime();
    const __time64_t tAfter = ::_time64(nullptr);
    EXPECT_LE(tBefore, tNow);
    EXPECT_LE(tNow, tAfter);
}

TEST_F(PolicyHandler, NoCallbackNoRuleListOrNoFileMonitorReportsNothing) {
    g_arrRecordedRoots.Append("E:\\");
    m_monitor.m_pfnUsbCallback = nullptr;
    m_pHandler->OnFileAdded("E:\\u3.txt");
    m_pHandler->m_pRuleList = nullptr;
    m_pHandler->OnFileAdded("D:\\l3.txt");
    terntest::StartOfNextSecond();
    m_pHandler->OnFileModified("D:\\l3.txt");
    m_pHandler->m_pRuleList = &m_localRules;
    tern::CFileMonitor* pSaved = tern::g_pFileMonitor;
    tern::g_pFileMonitor = nullptr;
    m_pHandler->OnFileAdded("D:\\a.txt");
    m_pHandler->OnFileModified("D:\\b.txt");
    tern::g_pFileMonitor = pSaved;
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(m_pHandler->m_Event.strPath, "D:\\a.txt");
}

TEST_F(PolicyHandler, TagsComeFromTheLastRuleMatchedByFileNameOrOldName) {
    m_localRules = {FileMonRule{"a.txt", "", "Add", "first"}, FileMonRule{"a.txt", "", "Add", "last"},
                    FileMonRule{"a.txt", "", "Delete", "other action"}};
    m_pHandler->OnFileAdded("D:\\A.TXT");
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].event.strRuleTag, "last");

    m_localRules = {FileMonRule{"Report.doc", "", "Rename", "old name"},
                    FileMonRule{"?:\\work\\*", "", "Rename|Modify", "path pattern"}};
    // An exact rule with capitals catches a rename by the old file name only.
    m_pHandler->OnFileRenamed("D:\\work\\Report.doc", "D:\\work\\final.doc");
    ASSERT_EQ(g_reports.size(), 2u);
    EXPECT_EQ(g_reports[1].event.strRuleTag, "old name");
    // A handler report falls back to a file name, which a path pattern misses;
    // the Modify path compares the whole path.
    m_pHandler->OnFileRenamed("D:\\work\\a.txt", "D:\\work\\b.txt");
    EXPECT_EQ(g_reports.size(), 2u);
    terntest::StartOfNextSecond();
    m_pHandler->OnFileModified("D:\\work\\c.txt");
    ASSERT_EQ(g_reports.size(), 3u);
    EXPECT_EQ(g_reports[2].event.strRuleTag, "path pattern");
}
