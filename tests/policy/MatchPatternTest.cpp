// regex.dll as the rule matcher loads it: from the program's directory,
// through its one export.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "TernFileMon.h"

namespace {

typedef int(__cdecl* MatchPatternFunction)(const char*, const char*);

class MatchPatternLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        m_hModule = ::LoadLibraryA("regex.dll");
        ASSERT_NE(m_hModule, nullptr) << "regex.dll is built beside the tests";
        m_pfnMatch = TernGetExport<MatchPatternFunction>(m_hModule, "MatchPattern");
        ASSERT_NE(m_pfnMatch, nullptr);
    }
    void TearDown() override {
        if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
    }
    bool Match(const char* pszPattern, const char* pszText) const {
        return m_pfnMatch(pszPattern, pszText) != 0;
    }

    HMODULE m_hModule = nullptr;
    MatchPatternFunction m_pfnMatch = nullptr;
};

}  // namespace

TEST_F(MatchPatternLibrary, StarAndQuestionMarkOnFileNames) {
    EXPECT_TRUE(Match("*.doc", "report.doc"));
    EXPECT_TRUE(Match("*.doc", ".doc"));
    EXPECT_FALSE(Match("*.doc", "report.docx"));
    EXPECT_TRUE(Match("*.doc*", "report.docx"));
    EXPECT_TRUE(Match("rep*t.d?c", "report.dic"));
    EXPECT_FALSE(Match("rep*t.d?c", "report.dc"));
    EXPECT_TRUE(Match("*", ""));
    EXPECT_TRUE(Match("a*b*c", "aXXbYYbZZc"));
    EXPECT_FALSE(Match("a*b*c", "aXXbYYbZZ"));
    EXPECT_TRUE(Match("*a*a*a", "aaaa"));
    EXPECT_TRUE(Match("??", "ab"));
    EXPECT_FALSE(Match("??", "a"));
    EXPECT_FALSE(Match("??", "abc"));
    // No classes and no escapes: brackets are plain characters.
    EXPECT_TRUE(Match("[a]*", "[a]1.txt"));
    EXPECT_FALSE(Match("[a]*", "a1.txt"));
}

TEST_F(MatchPatternLibrary, LetterCaseOfAsciiLettersDoesNotMatter) {
    EXPECT_TRUE(Match("*.DOC", "report.doc"));
    EXPECT_TRUE(Match("Report.*", "rEPORT.txt"));
    // Bytes outside A-Z / a-z must be equal: 0xC4 and 0xE4 differ.
    EXPECT_FALSE(Match("\xC4*", "\xE4.txt"));
    EXPECT_TRUE(Match("\xC4*", "\xC4.txt"));
}

TEST_F(MatchPatternLibrary, PatternWithoutBackslashMatchesTheFileNameOfAPath) {
    EXPECT_TRUE(Match("*.doc", "C:\\work\\report.doc"));
    EXPECT_TRUE(Match("re*", "C:\\work\\report.doc"));
    EXPECT_FALSE(Match("a*", "C:\\a\\b.txt"));  // the folder name does not count
    EXPECT_TRUE(Match("*", "C:\\dir\\"));      // an empty file name
    EXPECT_FALSE(Match("?*", "C:\\dir\\"));
}

TEST_F(MatchPatternLibrary, PatternWithBackslashMatchesTheWholePath) {
    EXPECT_TRUE(Match("?:\\temp\\*", "C:\\Temp\\a.txt"));
    EXPECT_TRUE(Match("?:\\temp\\*", "d:\\TEMP\\sub\\b.txt"));  // '*' runs across folders
    EXPECT_FALSE(Match("?:\\temp\\*", "a.txt"));
    EXPECT_FALSE(Match("?:\\temp\\*", "C:\\other\\temp\\a.txt"));
    EXPECT_TRUE(Match("*\\temp\\*", "C:\\other\\temp\\a.txt"));
}

TEST_F(MatchPatternLibrary, NullAndEmptyArgumentsNeverMatch) {
    EXPECT_EQ(m_pfnMatch(nullptr, "a"), 0);
    EXPECT_EQ(m_pfnMatch("*", nullptr), 0);
    EXPECT_EQ(m_pfnMatch(nullptr, nullptr), 0);
    EXPECT_EQ(m_pfnMatch("", ""), 0);
    EXPECT_EQ(m_pfnMatch("", "a"), 0);
    EXPECT_NE(m_pfnMatch("*", "a"), 0);
}

TEST_F(MatchPatternLibrary, HostileInputsEndWithAnAnswer) {
    // Many stars against a long near-miss: the walk backtracks, never recurses.
    std::string strPattern;
    for (int i = 0; i < 2000; ++i) strPattern += "*a";
    strPattern += "b";
    const std::string strText(20000, 'a');
    EXPECT_FALSE(Match(strPattern.c_str(), strText.c_str()));
    EXPECT_TRUE(Match(strPattern.c_str(), (strText + "b").c_str()));

    const std::string strLongPath = "C:\\" + std::string(40000, 'x') + "\\" +
                                    std::string(5000, '\\') + "f.txt";
    EXPECT_TRUE(Match("*.txt", strLongPath.c_str()));
    EXPECT_TRUE(Match("C:\\*\\f.txt", strLongPath.c_str()));
}
