// The copy-source lookup on the real section, clipboard and INI files: copy
// names (markers, numbered prefixes), where the source list comes from, that
// every change of them is seen by the very next added file, hostile contents,
// and the user's temporary folder with its retry bound.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstring>

#include "CopyDetectionSupport.h"
#include "DebugOutputCapture.h"
#include "../../TernFileMon/copy/CopySource.h"
#include "../../TernFileMon/copy/DropListReader.h"
#include "../../TernFileMon/copy/SystemUtil.h"
#include "../../TernFileMon/copy/UserTempLookup.h"

using terntest::CopyDetectionSource;
using terntest::DebugOutputCapture;
using Names = std::vector<std::string>;

namespace {

constexpr char kChinese[] = "\xB8\xB4\xBC\xFE";  // the word "copy" in code page 936
constexpr char kBroken[] = "CopyFileKey.ini is broken";
constexpr char kNoTemp[] = "Q:\\no-temp-here";  // no test path lies in it

std::string Ini(const std::string& strLines) { return "[KeyNameOfCopyFile]\r\n" + strLines; }

// The source of strNewPath, where no user temporary folder is known.
std::string Find(const std::string& strNewPath) {
    std::string strTemp = kNoTemp;
    const std::string strSource = tern::FindCopySource(strNewPath, strTemp);
    EXPECT_EQ(strTemp, kNoTemp);
    return strSource;
}

}  // namespace

TEST_F(CopyDetectionSource, IniValuesAndCopyNames) {
    std::string strValue = "stale";
    EXPECT_FALSE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopyKeyValue", strValue));
    EXPECT_EQ(strValue, "");
    DebugOutputCapture capture;
    EXPECT_FALSE(tern::IsCopyName("report.txt", "report - Copy.txt"));  // no INI: no markers
    EXPECT_EQ(capture.Count(kBroken), 1u);

    // The override wins where it has a value, the main file serves the rest; values cut at 259.
    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=- Copy||_copy\r\nCopykeyAdd=_dup\r\n")));
    ASSERT_TRUE(m_ini.WriteOverride(Ini("CopyKeyValue=" + std::string(400, 'v') + "\r\nCopykeyAdd=\r\n")));
    EXPECT_TRUE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopyKeyValue", strValue));
    EXPECT_EQ(strValue, std::string(259, 'v'));
    EXPECT_TRUE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopykeyAdd", strValue));
    EXPECT_EQ(strValue, "_dup");
    EXPECT_FALSE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "Missing", strValue));
    EXPECT_EQ(strValue, "");

    const std::string c = kChinese;
    const struct {
        const char* pszOverride;  // null: no override file
        std::string strCopied, strNew;
        bool bCopy;
    } cases[] = {
        {nullptr, "report.txt", "report - Copy.txt", true},
        {nullptr, "report.txt", "report_copy.txt", true},
        {nullptr, "report.txt", "report_dup.txt", true},
        {nullptr, "report.txt", "report - COPY.txt", false},  // markers are case-sensitive
        {nullptr, "report.txt", "report2.txt", false},
        {nullptr, "report.txt", "rapport_copy.txt", false},  // the base is not in the name
        {nullptr, "", "report_copy.txt", false},
        {nullptr, "report.txt", "", false},
        {nullptr, ".profile", ".profile_copy", true},  // a leading dot is no extension
        // The override replaces the markers, the additional ones stay.
        {"CopyKeyValue=(mine)", "report.txt", "report(mine).txt", true},
        {"CopyKeyValue=(mine)", "report.txt", "report_copy.txt", false},
        {"CopyKeyValue=(mine)", "report.txt", "report_dup.txt", true},
        // Two delimiters in a row: an empty marker, found in every name with the base.
        {"CopyKeyValue=_copy||||_other", "report.txt", "report anything.txt", true},
        {"CopyKeyValue=_copy||||_other", "report.txt", "rapport anything.txt", false},
        // Numbered copies need no INI; prefixes are exact, names compare without case.
        {nullptr, "Copy of (2) x.txt", "Copy of (3) x.txt", true},
        {nullptr, "Copy of (12) x.txt", "Copy of (3) X.TXT", true},
        {nullptr, "Copy of (a2) x.txt", "Copy of (a3) x.txt", true},
        {nullptr, "Copy of (2) x.txt", "Copy of (3) y.txt", false},
        {nullptr, "Copy of (2) x.txt", "copy of (3) x.txt", false},
        {nullptr, c + " (10) x.txt", c + " (7) X.txt", true},
        {nullptr, c + " (2) x.txt", "Copy of (3) x.txt", false},
        // Parentheses in odd places: positions past the end of the other name.
        {nullptr, "Copy of (1234567890123456789) x", "Copy of (1", false},
        {nullptr, "Copy of (1234567890123456789)", "Copy of (1)", true},
        {nullptr, "Copy of (9", "Copy of ()", false},
        {nullptr, "Copy of ()))", "Copy of (((((9", false},
        {nullptr, c + " (", "Copy of (", false},
    };
    for (const auto& k : cases) {
        ::DeleteFileA(m_ini.OverridePath().c_str());
        if (k.pszOverride != nullptr) {
            ASSERT_TRUE(m_ini.WriteOverride(Ini(std::string(k.pszOverride) + "\r\n")));
        }
        EXPECT_EQ(tern::IsCopyName(k.strCopied, k.strNew), k.bCopy) << k.strCopied << " / " << k.strNew;
    }
    EXPECT_EQ(capture.Count(kBroken), 1u);

    // Broken INI files: garbage (no section, no key), a key without value beside a good one.
    m_ini.RemoveAll();
    for (const std::string& strContent : {std::string("\x01\xFF\xFE garbage \0 [[[ ]]] ==", 24),
                                          Ini("CopyKeyValue=\r\nCopykeyAdd=_dup\r\n")}) {
        capture.Clear();
        ASSERT_TRUE(m_ini.WriteMain(strContent));
        EXPECT_FALSE(tern::IsCopyName("report.txt", "report_copy.txt"));
        EXPECT_FALSE(tern::IsCopyName("report.txt", "report_dup.txt"));
        EXPECT_EQ(capture.Count(kBroken), 2u);
    }
}

// Each step changes the section, the clipboard or the INI files and asks at
// once: nothing of the previous answer may linger.
TEST_F(CopyDetectionSource, EveryChangeIsSeenByTheNextAddedFile) {
    const struct {
        char chWhat;  // 's' section text, 'x' section filled with the text's first byte,
                      // 'c' clipboard drop, 'a' ANSI drop, 't' clipboard text, 'm' main INI, 'o' override, 'r' no INI
        const char* pszText;
        const char* pszNew;
        const char* pszSource;
    } steps[] = {
        {'s', "", "D:\\b\\report.DOC", ""},
        {'s', "C:\\first\\other.doc|C:\\a\\Report.doc|C:\\z\\report.doc", "D:\\b\\report.DOC", "C:\\a\\Report.doc"},
        {'s', "C:\\a\\Report.doc", "D:\\b\\report.txt", ""},
        {'s', "C:\\a\\Report.doc", "D:\\b\\report.DOC\\", ""},  // no name after the last backslash
        {'s', "C:\\a\\Report.doc", "report.doc", ""},            // no backslash: never a copy
        {'s', "report.doc|\\report.doc", "D:\\report.doc", ""},  // entries without a folder
        // Same length, other bytes; then longer.
        {'s', "C:\\docs\\aaaa.doc", "E:\\aaaa.doc", "C:\\docs\\aaaa.doc"},
        {'s', "C:\\docs\\bbbb.doc", "E:\\aaaa.doc", ""},
        {'s', "C:\\docs\\bbbb.doc|C:\\more\\cccc.doc", "E:\\cccc.doc", "C:\\more\\cccc.doc"},
        // The same folder: numbered copies, then the configured markers as they are written.
        {'s', "C:\\a\\x.txt|C:\\a\\Copy of (2) y.txt", "C:\\A\\Copy of (3) y.txt", "C:\\a\\Copy of (2) y.txt"},
        {'s', "C:\\a\\x.txt|C:\\a\\Copy of (2) y.txt", "D:\\a\\Copy of (3) y.txt", ""},
        {'s', "C:\\a\\x.txt", "C:\\a\\x_copy.txt", ""},
        {'m', "CopyKeyValue=_copy", "C:\\a\\x_copy.txt", "C:\\a\\x.txt"},
        {'m', "CopyKeyValue=_dupe||_more", "C:\\a\\x_copy.txt", ""},
        {'m', "CopyKeyValue=_dupe||_more", "C:\\a\\x_dupe.txt", "C:\\a\\x.txt"},
        {'o', "CopyKeyValue=_copy", "C:\\a\\x_copy.txt", "C:\\a\\x.txt"},
        {'o', "CopyKeyValue=_copy", "C:\\a\\x_dupe.txt", ""},
        {'r', "", "C:\\a\\x_copy.txt", ""},
        // The clipboard serves while the section is empty; every new drop is read.
        {'s', "", "E:\\one.doc", ""},
        {'c', "C:\\clip\\one.doc", "E:\\one.doc", "C:\\clip\\one.doc"},
        {'a', "C:\\clip\\two.doc", "E:\\one.doc", ""},
        {'a', "C:\\clip\\two.doc", "E:\\two.doc", "C:\\clip\\two.doc"},
        {'t', "C:\\clip\\two.doc", "E:\\two.doc", ""},
        {'c', "C:\\clip\\two.doc", "E:\\two.doc", "C:\\clip\\two.doc"},
        // A list in the section wins at once; a section without one leaves the clipboard.
        {'s', "C:\\sect\\two.doc", "E:\\two.doc", "C:\\sect\\two.doc"},
        {'x', "|", "E:\\two.doc", "C:\\clip\\two.doc"},
        // Hostile section contents: no terminator anywhere.
        {'x', "x", "E:\\two.doc", ""},
        {'s', "|C:\\docs\\data.bin|", "E:\\data.bin", "C:\\docs\\data.bin"},
    };
    for (const auto& step : steps) {
        const std::string strText = step.pszText;
        switch (step.chWhat) {
            case 's': m_section.WriteText(strText); break;
            case 'x': m_section.Fill(strText[0]); break;
            case 'c': ASSERT_TRUE(m_clipboard.PutFileDrop({strText})); break;
            case 'a': ASSERT_TRUE(m_clipboard.PutFileDrop({strText}, false)); break;
            case 't': ASSERT_TRUE(m_clipboard.PutText(strText)); break;
            case 'm': ASSERT_TRUE(m_ini.WriteMain(Ini(strText + "\r\n"))); break;
            case 'o': ASSERT_TRUE(m_ini.WriteOverride(Ini(strText + "\r\n"))); break;
            default: m_ini.RemoveAll(); break;
        }
        EXPECT_EQ(Find(step.pszNew), step.pszSource) << step.chWhat << " " << strText << " -> " << step.pszNew;
    }

    // A full section of one-character entries: a list, but no source in it.
    std::string strFull;
    while (strFull.size() + 2 < tern::kClipBufferSize) strFull += "a|";
    m_section.WriteText(strFull);
    EXPECT_EQ(Find("E:\\a"), "");
}

namespace {

std::vector<BYTE> Block(DWORD dwFilesOffset, BOOL bWide, const void* pNames, size_t nBytes) {
    DROPFILES header = {};
    header.pFiles = dwFilesOffset;
    header.fWide = bWide;
    std::vector<BYTE> vecBlock(sizeof(header) + nBytes);
    std::memcpy(vecBlock.data(), &header, sizeof(header));
    if (nBytes != 0) std::memcpy(vecBlock.data() + sizeof(header), pNames, nBytes);
    return vecBlock;
}

}  // namespace

TEST(CopyDetectionDropList, HostileBlocksGiveNoNamesAndGoodOnesAllOfThem) {
    const char szAnsi[] = "C:\\a.txt\0D:\\b\\c.doc\0";  // the list's closing zero ends the literal
    const wchar_t szWide[] = L"C:\\w.txt\0";
    const char szOpen[] = {'C', ':', '\\', 'x'};  // no terminator at all
    const BYTE abOdd[] = {'C', 0, ':', 0, 'x'};     // wide, odd length, no terminator
    const std::string strLongList = std::string(600, 'n') + std::string(2, '\0');
    const DWORD dwHeader = sizeof(DROPFILES);
    const struct {
        const char* pszCase;
        std::vector<BYTE> vecBlock;
        bool bParsed;
        Names vecNames;
    } cases[] = {
        {"ansi list", Block(dwHeader, FALSE, szAnsi, sizeof(szAnsi)), true, {"C:\\a.txt", "D:\\b\\c.doc"}},
        {"wide list", Block(dwHeader, TRUE, szWide, sizeof(szWide)), true, {"C:\\w.txt"}},
        {"empty list", Block(dwHeader, FALSE, "\0", 1), true, {}},
        {"no terminator", Block(dwHeader, FALSE, szOpen, sizeof(szOpen)), false, {}},
        {"last name open", Block(dwHeader, FALSE, szAnsi, sizeof(szAnsi) - 2), false, {}},
        {"wide, odd bytes", Block(dwHeader, TRUE, abOdd, sizeof(abOdd)), false, {}},
        {"names past the end", Block(dwHeader + 100, FALSE, szAnsi, sizeof(szAnsi)), false, {}},
        {"names inside the header", Block(4, FALSE, szAnsi, sizeof(szAnsi)), false, {}},
        {"header only", Block(dwHeader, FALSE, nullptr, 0), false, {}},
        {"name longer than a buffer", Block(dwHeader, FALSE, strLongList.data(), strLongList.size()), true,
         {std::string(519, 'n')}},
    };
    for (const auto& c : cases) {
        Names vecNames = {"left over"};
        EXPECT_EQ(tern::ParseDropFiles(c.vecBlock.data(), c.vecBlock.size(), vecNames), c.bParsed) << c.pszCase;
        EXPECT_EQ(vecNames, c.vecNames) << c.pszCase;
    }
    Names vecNames = {"left over"};
    EXPECT_FALSE(tern::ParseDropFiles(nullptr, 100, vecNames));
    EXPECT_TRUE(vecNames.empty());
}

TEST(CopyDetectionUtil, RegistryValues) {
    const char* const pszKey = "Software\\TernFileMonCopyTest";
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    const char szRaw[] = "%SystemRoot%\\raw";
    ::RegSetValueExA(hKey, "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(szRaw), sizeof(szRaw));
    const DWORD dwNumber = 5;
    ::RegSetValueExA(hKey, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwNumber), sizeof(dwNumber));
    const char szOpen[4] = {'a', 'b', 'c', 'd'};  // stored without a terminating zero
    ::RegSetValueExA(hKey, "Open", 0, REG_SZ, reinterpret_cast<const BYTE*>(szOpen), sizeof(szOpen));
    ::RegCloseKey(hKey);

    const struct {
        const char *pszKey, *pszName;
        DWORD dwSize;
        bool bOk;
        const char* pszValue;
        DWORD dwSizeAfter;
    } cases[] = {
        {pszKey, "Expand", sizeof(szRaw), true, szRaw, sizeof(szRaw)},  // not expanded
        {pszKey, "Expand", sizeof(szRaw) - 1, false, "", sizeof(szRaw)},
        {pszKey, "Open", 260, true, "abcd", 0},  // the size read back varies by system
        {pszKey, "Number", 260, false, "", 260},
        {pszKey, "Missing", 260, false, "", 260},
        {"Software\\NoSuchKeyOfTern", "TEMP", 260, false, "", 260},
    };
    for (const auto& c : cases) {
        std::string strValue = "stale";
        DWORD dwSize = c.dwSize;
        EXPECT_EQ(tern::UtilSucceeded(tern::QueryRegKeyValue(HKEY_CURRENT_USER, c.pszKey, c.pszName, dwSize,
                                                             strValue, tern::REG_VIEW_64)),
                  c.bOk)
            << c.pszName << " " << c.dwSize;
        EXPECT_EQ(strValue, c.pszValue) << c.pszName;
        if (c.dwSizeAfter != 0) {
            EXPECT_EQ(dwSize, c.dwSizeAfter) << c.pszName;
        }
    }
    EXPECT_EQ(::RegDeleteTreeA(HKEY_CURRENT_USER, pszKey), ERROR_SUCCESS);
}

// Without "ZUVOVE.exe" there is no user token and no temporary folder; a
// failed lookup is repeated only once its bound has passed (checked on both
// sides); files inside the folder are never copies.
TEST_F(CopyDetectionSource, UserTempFolderAndItsRetryBound) {
    const ULONGLONG nFailedAt = 5000000;
    tern::CUserTempLookup lookup;
    std::string strTemp;
    lookup.Fill(strTemp, nFailedAt);
    EXPECT_EQ(strTemp, "");
    m_section.WriteText("C:\\docs\\report.doc");
    std::string strNone;
    EXPECT_EQ(tern::FindCopySource("D:\\report.doc", strNone), "C:\\docs\\report.doc");
    EXPECT_EQ(strNone, "");

    terntest::TokenProcess zuvove;
    ASSERT_TRUE(zuvove.IsRunning());
    DWORD dwSize = 260;
    std::string strRaw;
    ASSERT_TRUE(tern::UtilSucceeded(
        tern::QueryRegKeyValue(HKEY_CURRENT_USER, "Environment", "TEMP", dwSize, strRaw, tern::REG_VIEW_64)));
    char szExpected[MAX_PATH] = {};
    ASSERT_NE(::ExpandEnvironmentStringsA(strRaw.c_str(), szExpected, MAX_PATH), 0u);
    std::string strUserTemp;
    for (int nTry = 0; nTry < 100 && strUserTemp.empty(); ++nTry) {  // the process may take a moment
        strUserTemp = tern::GetUserTempPath();
        if (strUserTemp.empty()) ::Sleep(20);
    }
    ASSERT_NE(strUserTemp, "");
    EXPECT_EQ(strUserTemp, szExpected);

    lookup.Fill(strTemp, nFailedAt + tern::kUserTempRetryMs - 1);
    EXPECT_EQ(strTemp, "") << "looked up again within the bound";
    lookup.Fill(strTemp, nFailedAt + tern::kUserTempRetryMs);
    EXPECT_EQ(strTemp, strUserTemp) << "not looked up again at the bound";
    tern::CUserTempLookup fresh;  // one that never failed asks at once; a found folder is kept
    std::string strFresh;
    fresh.Fill(strFresh, nFailedAt);
    EXPECT_EQ(strFresh, strUserTemp);
    strFresh = "kept";
    fresh.Fill(strFresh, nFailedAt + 1);
    EXPECT_EQ(strFresh, "kept");

    const std::string strInTemp = strUserTemp + "\\report.doc";
    EXPECT_EQ(tern::FindCopySource(strInTemp, strNone, ::GetTickCount64() + tern::kUserTempRetryMs), "");
    EXPECT_EQ(strNone, strUserTemp);
    EXPECT_EQ(tern::FindCopySource(strUserTemp + "\\deeper\\report.doc", strNone), "");
    EXPECT_EQ(tern::FindCopySource("D:\\report.doc", strNone), "C:\\docs\\report.doc");
}
