// regex.dll as the rule matcher loads it (from the program's directory, through
// its one export), and the rule matcher on hand-built events: the root test,
// the candidates, the action test and the differences between the three entry
// points, as tables.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "../../TernFileMon/filemon/FileMonitor.h"
#include "../../TernFileMon/filemon/RecordedRoots.h"

using tern::g_arrRecordedRoots;

namespace {

typedef int(__cdecl* MatchPatternFunction)(const char*, const char*);

struct PatternCase {
    const char* pszPattern;
    const char* pszText;
    bool bMatch;
};

const PatternCase kPatternCases[] = {
    // Star and question mark on file names; brackets are plain characters.
    {"*.doc", "report.doc", true}, {"*.doc", ".doc", true}, {"*.doc", "report.docx", false},
    {"*.doc*", "report.docx", true}, {"rep*t.d?c", "report.dic", true}, {"rep*t.d?c", "report.dc", false},
    {"*", "", true}, {"a*b*c", "aXXbYYbZZc", true}, {"a*b*c", "aXXbYYbZZ", false}, {"*a*a*a", "aaaa", true},
    {"??", "ab", true}, {"??", "a", false}, {"??", "abc", false}, {"[a]*", "[a]1.txt", true}, {"[a]*", "a1.txt", false},
    // ASCII letters in any case; other bytes must be equal.
    {"*.DOC", "report.doc", true}, {"Report.*", "rEPORT.txt", true}, {"\xC4*", "\xE4.txt", false},
    {"\xC4*", "\xC4.txt", true}, {"AZ.*", "az.txt", true}, {"az.*", "AZ.txt", true}, {"@*", "`.txt", false},
    // Without a backslash the pattern meets the file name of a path...
    {"*.doc", "C:\\work\\report.doc", true}, {"re*", "C:\\work\\report.doc", true}, {"a*", "C:\\a\\b.txt", false},
    {"*", "C:\\dir\\", true}, {"?*", "C:\\dir\\", false},
    // ...with one, the whole path ('*' runs across folders).
    {"?:\\temp\\*", "C:\\Temp\\a.txt", true}, {"?:\\temp\\*", "d:\\TEMP\\sub\\b.txt", true},
    {"?:\\temp\\*", "a.txt", false}, {"?:\\temp\\*", "C:\\other\\temp\\a.txt", false},
    {"*\\temp\\*", "C:\\other\\temp\\a.txt", true},
    // Null and empty arguments never match.
    {nullptr, "a", false}, {"*", nullptr, false}, {nullptr, nullptr, false}, {"", "", false}, {"", "a", false},
};

// "pattern/actions/tag;..." (patterns hold no '/').
FileMonRuleList ParseRules(const std::string& strRules) {
    FileMonRuleList rules;
    for (size_t nStart = 0; nStart < strRules.size();) {
        size_t nEnd = strRules.find(';', nStart);
        if (nEnd == std::string::npos) nEnd = strRules.size();
        const std::string strRule = strRules.substr(nStart, nEnd - nStart);
        const size_t nA = strRule.find('/'), nB = strRule.find('/', nA + 1);
        rules.push_back(FileMonRule{strRule.substr(0, nA), "label", strRule.substr(nA + 1, nB - nA - 1),
                                    strRule.substr(nB + 1)});
        nStart = nEnd + 1;
    }
    return rules;
}

// "Action path", or "Action old>new" for copies and renames (path "old ==> new").
FileMonEvent ParseEvent(const std::string& strEvent) {
    FileMonEvent event;
    const size_t nSpace = strEvent.find(' ');
    event.strAction = strEvent.substr(0, nSpace);
    event.strPath = strEvent.substr(nSpace + 1);
    event.strTime = "2026-01-02 03:04:05";
    event.strRuleTag = "-";
    const size_t nArrow = event.strPath.find('>');
    if (nArrow != std::string::npos) {
        event.strSource = event.strPath.substr(0, nArrow);
        event.strTarget = event.strPath.substr(nArrow + 1);
        event.strPath = event.strSource + " ==> " + event.strTarget;
    }
    return event;
}

struct MatchCase {
    const char* pszRoots;  // recorded roots, ';' between
    const char* pszUsb;    // the FILEMON_USB side's rules
    const char* pszLocal;  // the FILEMON_LOCAL side's rules
    char chCall;  // 'L' / 'U': a report of that side (root gate 1, the side's list);
                  // 'G': root gate 0 with the usb list handed in; 'Q': the host's query with the usb list
    const char* pszEvent;
    bool bMatch;
    const char* pszTag;  // afterwards; "-" untouched
};

const MatchCase kCases[] = {
    // Exact rules compare with the lower-cased file name, never a folder name.
    {"", "", "report.doc/Modify/lower;Report.DOC/Modify/mixed", 'L', "Modify C:\\D\\Report.DOC", true, "lower"},
    {"", "", "report.doc/Modify/lower", 'L', "Modify C:\\report.doc\\other.doc", false, "-"},
    {"", "", "report.doc/Modify/lower", 'L', "Modify report.doc", true, "lower"},
    // The recorded roots decide the side: a copy through its path (its source) or its target, others through the path.
    {"e:\\", "a.txt/Copy|Modify/usb", "a.txt/Copy|Modify/local", 'L', "Copy C:\\a.txt>E:\\a.txt", false, "-"},
    {"e:\\", "a.txt/Copy|Modify/usb", "a.txt/Copy|Modify/local", 'U', "Copy C:\\a.txt>E:\\a.txt", true, "usb"},
    {"e:\\", "a.txt/Copy|Modify/usb", "a.txt/Copy|Modify/local", 'L', "Modify C:\\a.txt", true, "local"},
    {"e:\\", "a.txt/Copy|Modify/usb", "a.txt/Copy|Modify/local", 'U', "Modify E:\\dir\\a.txt", true, "usb"},
    // A rename touches the drive of its old path only; no drive letter is the drive "\".
    {"e:\\", "b.txt/Rename/usb", "b.txt/Rename/local", 'L', "Rename C:\\a.txt>E:\\b.txt", true, "local"},
    {"e:\\;\\", "a.txt/Modify/usb", "a.txt/Modify/local", 'U', "Modify a.txt", true, "usb"},
    {"e:\\;\\", "a.txt/Modify/usb", "a.txt/Modify/local", 'L', "Modify a.txt", false, "-"},
    // Root gate 0 takes the list handed in, without root test.
    {"C:\\", "a.txt/Modify/given", "a.txt/Modify/local", 'G', "Modify C:\\a.txt", true, "given"},
    {"C:\\", "a.txt/Modify/usb", "a.txt/Modify/local", 'L', "Modify C:\\a.txt", false, "-"},
    // Action lists ignore case and separators; an empty list takes nothing, an empty action passes.
    {"C:\\", "a.txt/ADD|delete/t", "", 'Q', "Add C:\\a.txt", true, "t"},
    {"C:\\", "a.txt/ADD|delete/t", "", 'Q', "delete C:\\a.txt", true, "t"},
    {"C:\\", "a.txt/ADD|delete/t", "", 'Q', "Rename C:\\x.txt>C:\\a.txt", false, "-"},
    {"C:\\", "a.txt/AddDelete/t", "", 'Q', "delete C:\\a.txt", true, "t"},
    {"C:\\", "a.txt//t", "", 'Q', "Add C:\\a.txt", false, "-"},
    {"C:\\", "a.txt//t", "", 'Q', " C:\\a.txt", true, "t"},
    // The recycle bin (right after the drive) is left out of reports, not of the host's query.
    {"C:\\", "$r1.txt/Rename/bin;a.txt/Rename|Delete/restore", "", 'U',
     "Rename C:\\d\\a.txt>C:\\$Recycle.Bin\\S-1-5-21\\$R1.txt", false, "-"},
    {"C:\\", "$r1.txt/Rename/bin;a.txt/Rename|Delete/restore", "", 'Q',
     "Rename C:\\d\\a.txt>C:\\$Recycle.Bin\\S-1-5-21\\$R1.txt", true, "bin"},
    {"C:\\", "a.txt/Rename|Delete/restore", "", 'U', "Delete C:\\RECYCLED\\a.txt", false, "-"},
    {"C:\\", "a.txt/Rename|Delete/restore", "", 'U', "Delete c:\\Recycler\\S-1\\a.txt", false, "-"},
    {"C:\\", "a.txt/Rename|Delete/restore", "", 'U', "Delete C:\\x\\recycled\\a.txt", true, "restore"},
    {"C:\\", "a.txt/Rename|Delete/restore", "", 'U', "Rename C:\\$Recycle.Bin\\S-1-5-21\\$R1.txt>C:\\d\\a.txt",
     true, "restore"},
    // Reports take the last accepting rule, the host's query the first.
    {"C:\\", "a.txt/Modify/X;b.txt/Modify/other;a.txt/Modify/Y;a.txt/Delete/Z", "", 'U', "Modify C:\\a.txt", true, "Y"},
    {"C:\\", "a.txt/Modify/X;b.txt/Modify/other;a.txt/Modify/Y;a.txt/Delete/Z", "", 'Q', "Modify C:\\a.txt", true, "X"},
    {"C:\\", "a.txt/Modify/X;a.txt/Modify/Y", "", 'Q', "Add C:\\a.txt", false, "-"},
    // The host's query needs the event's root recorded.
    {"", "a.txt/Add/t", "", 'Q', "Add D:\\a.txt", false, "-"},
    {"c:\\", "a.txt/Add/t", "", 'Q', "Add D:\\a.txt", false, "-"},
    {"c:\\;d:\\", "a.txt/Add/t", "", 'Q', "Add D:\\a.txt", true, "t"},
    // Wildcards through regex.dll: the file name, or the whole source path for a path pattern.
    {"C:\\", "*.DOC/Modify|Copy/name", "", 'U', "Modify C:\\Work\\Report.Doc", true, "name"},
    {"C:\\", "?:\\work\\*/Copy/path", "", 'Q', "Copy C:\\Work\\a.txt>C:\\Out\\b.txt", true, "path"},
    {"C:\\", "?:\\work\\*/Copy/path", "", 'G', "Copy C:\\Work\\a.txt>C:\\Out\\b.txt", true, "path"},
    {"C:\\", "?:\\work\\*/Copy/path", "", 'Q', "Copy C:\\Other\\a.txt>C:\\Out\\b.txt", false, "-"},
};

class RuleMatcher : public ::testing::Test {
protected:
    void SetUp() override {
        g_arrRecordedRoots.RemoveAll();
        m_monitor.m_pUsbRuleList = &m_usbRules;
        m_monitor.m_pLocalRuleList = &m_localRules;
    }
    void TearDown() override { g_arrRecordedRoots.RemoveAll(); }

    tern::CFileMonitor m_monitor{nullptr};
    FileMonRuleList m_usbRules, m_localRules;
    FileMonRuleList m_givenRules = ParseRules("never.txt/Add/given");  // replaced by the side's list
};

}  // namespace

TEST(MatchPatternLibrary, TableAndHostileInputs) {
    HMODULE hModule = ::LoadLibraryA("regex.dll");
    ASSERT_NE(hModule, nullptr) << "regex.dll is built beside the tests";
    auto pfnMatch = TernGetExport<MatchPatternFunction>(hModule, "MatchPattern");
    ASSERT_NE(pfnMatch, nullptr);
    for (const PatternCase& c : kPatternCases) {
        EXPECT_EQ(pfnMatch(c.pszPattern, c.pszText) != 0, c.bMatch)
            << (c.pszPattern ? c.pszPattern : "(null)") << " on " << (c.pszText ? c.pszText : "(null)");
    }

    // Many stars against a long near-miss: the walk backtracks, never recurses.
    std::string strPattern;
    for (int i = 0; i < 2000; ++i) strPattern += "*a";
    strPattern += "b";
    const std::string strText(20000, 'a');
    EXPECT_EQ(pfnMatch(strPattern.c_str(), strText.c_str()), 0);
    EXPECT_NE(pfnMatch(strPattern.c_str(), (strText + "b").c_str()), 0);
    const std::string strLongPath = "C:\\" + std::string(40000, 'x') + "\\" + std::string(5000, '\\') + "f.txt";
    EXPECT_NE(pfnMatch("*.txt", strLongPath.c_str()), 0);
    EXPECT_NE(pfnMatch("C:\\*\\f.txt", strLongPath.c_str()), 0);
    ::FreeLibrary(hModule);
}

TEST_F(RuleMatcher, Table) {
    for (const MatchCase& c : kCases) {
        const std::string strCase = std::string(1, c.chCall) + " " + c.pszEvent + " roots " + c.pszRoots;
        g_arrRecordedRoots.RemoveAll();
        for (const FileMonRule& root : ParseRules(c.pszRoots)) g_arrRecordedRoots.Append(root.strPattern);
        m_usbRules = ParseRules(c.pszUsb);
        m_localRules = ParseRules(c.pszLocal);
        FileMonEvent event = ParseEvent(c.pszEvent);
        bool bMatch = false;
        switch (c.chCall) {
            case 'L': bMatch = m_monitor.MatchModifyEvent(&event, &m_givenRules, false, 1); break;
            case 'U': bMatch = m_monitor.MatchModifyEvent(&event, &m_givenRules, true, 1); break;
            case 'G': bMatch = m_monitor.MatchModifyEvent(&event, &m_usbRules, false, 0); break;
            default: bMatch = m_monitor.MatchEvent(&m_usbRules, &event); break;
        }
        EXPECT_EQ(bMatch, c.bMatch) << strCase;
        EXPECT_EQ(event.strRuleTag, c.pszTag) << strCase;
    }
    EXPECT_NE(m_monitor.m_pfnMatchPattern.load(), nullptr);
}

TEST_F(RuleMatcher, AModifyTouchesARootThroughItsPathOnlyAndNullsGiveFalse) {
    g_arrRecordedRoots.Append("E:\\");
    m_localRules = ParseRules("a.txt/Modify/local");
    FileMonEvent event = ParseEvent("Modify C:\\a.txt");
    event.strSource = "E:\\x";
    event.strTarget = "E:\\y";
    EXPECT_TRUE(m_monitor.MatchModifyEvent(&event, &m_givenRules, false, 1));
    EXPECT_FALSE(m_monitor.MatchModifyEvent(&event, nullptr, false, 1));
    EXPECT_FALSE(m_monitor.MatchModifyEvent(nullptr, &m_givenRules, false, 1));
    EXPECT_FALSE(m_monitor.MatchEvent(nullptr, &event));
    EXPECT_FALSE(m_monitor.MatchEvent(&m_localRules, nullptr));
    m_monitor.m_pLocalRuleList = nullptr;  // the side has no rules
    event.strRuleTag = "";
    EXPECT_FALSE(m_monitor.MatchModifyEvent(&event, &m_givenRules, false, 1));
    EXPECT_EQ(event.strRuleTag, "");
}
