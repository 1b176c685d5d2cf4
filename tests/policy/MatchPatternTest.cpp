// regex.dll as the rule matcher loads it: from the program's directory,
// through its one export.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "TernFileMon.h"

namespace {

typedef int(__cdecl* MatchPatternFunction)(const char*, const char*);

struct PatternCase {
    const char* pszPattern;
    const char* pszText;
    bool bMatch;
};

const PatternCase kCases[] = {
    // Star and question mark on file names; brackets are plain characters.
    {"*.doc", "report.doc", true}, {"*.doc", ".doc", true}, {"*.doc", "report.docx", false},
    {"*.doc*", "report.docx", true}, {"rep*t.d?c", "report.dic", true}, {"rep*t.d?c", "report.dc", false},
    {"*", "", true}, {"a*b*c", "aXXbYYbZZc", true}, {"a*b*c", "aXXbYYbZZ", false}, {"*a*a*a", "aaaa", true},
    {"??", "ab", true}, {"??", "a", false}, {"??", "abc", false}, {"[a]*", "[a]1.txt", true}, {"[a]*", "a1.txt", false},
    // ASCII letters in any case; other bytes must be equal.
    {"*.DOC", "report.doc", true}, {"Report.*", "rEPORT.txt", true}, {"\xC4*", "\xE4.txt", false},
    {"\xC4*", "\xC4.txt", true},
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

}  // namespace

TEST(MatchPatternLibrary, TableAndHostileInputs) {
    HMODULE hModule = ::LoadLibraryA("regex.dll");
    ASSERT_NE(hModule, nullptr) << "regex.dll is built beside the tests";
    auto pfnMatch = TernGetExport<MatchPatternFunction>(hModule, "MatchPattern");
    ASSERT_NE(pfnMatch, nullptr);
    for (const PatternCase& c : kCases) {
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
