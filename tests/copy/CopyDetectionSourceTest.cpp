// The copy-source lookup: same names anywhere, copy names in the same folder
// (configured markers, numbered prefixes) and the user's temporary directory.
#include <gtest/gtest.h>

#include "CopyDetectionSupport.h"
#include "DebugOutputCapture.h"
#include "TestDrives.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/copy/CopySource.h"
#include "../../TernFileMon/copy/SystemUtil.h"

using terntest::ClipboardWriter;
using terntest::CopyIniFiles;
using terntest::DebugOutputCapture;
using terntest::SectionWriter;
using terntest::TokenProcess;

namespace {

constexpr char kChinese[] = "\xB8\xB4\xBC\xFE";  // the word "copy" in code page 936
constexpr char kBroken[] = "CopyFileKey.ini is broken";

std::string Ini(const std::string& strLines) { return "[KeyNameOfCopyFile]\r\n" + strLines; }

// A temporary directory that no test path lies in: the lookup keeps it and
// does not ask for the user's one.
std::string NoTemp() { return "Q:\\no-temp-here"; }

class CopyDetectionSource : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bSectionCreated);
        ASSERT_TRUE(m_section.IsOpen());
        m_section.Clear();
        m_clipboard.Empty();
    }

    std::string Find(const std::string& strNewPath) {
        std::string strTemp = NoTemp();
        const std::string strSource = tern::FindCopySource(strNewPath, strTemp);
        EXPECT_EQ(strTemp, NoTemp());
        return strSource;
    }

    // As the first policy handler does; before the writer opens the section.
    const bool m_bSectionCreated = tern::CreateClipboardBuffer();
    SectionWriter m_section;
    ClipboardWriter m_clipboard;
    CopyIniFiles m_ini;
};

}  // namespace

TEST_F(CopyDetectionSource, CopyIniValueOverrideFirst) {
    std::string strValue = "stale";
    EXPECT_FALSE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopyKeyValue", strValue));
    EXPECT_EQ(strValue, "");

    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=main||more\r\nCopykeyAdd=added\r\n")));
    EXPECT_TRUE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopyKeyValue", strValue));
    EXPECT_EQ(strValue, "main||more");

    // The override wins where it has a value, the main file serves the rest.
    ASSERT_TRUE(m_ini.WriteOverride(Ini("CopyKeyValue=custom\r\nCopykeyAdd=\r\n")));
    EXPECT_TRUE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopyKeyValue", strValue));
    EXPECT_EQ(strValue, "custom");
    EXPECT_TRUE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopykeyAdd", strValue));
    EXPECT_EQ(strValue, "added");

    // Values are cut to 259 characters.
    ASSERT_TRUE(m_ini.WriteOverride(Ini("CopyKeyValue=" + std::string(400, 'v') + "\r\n")));
    EXPECT_TRUE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "CopyKeyValue", strValue));
    EXPECT_EQ(strValue, std::string(259, 'v'));

    EXPECT_FALSE(tern::GetCopyIniValue(m_ini.MainPath(), "KeyNameOfCopyFile", "Missing", strValue));
    EXPECT_EQ(strValue, "");
}

TEST_F(CopyDetectionSource, SameFolderCopyNamesThroughMarkers) {
    DebugOutputCapture capture;
    // No INI at all: the markers are missing and the file is reported broken.
    EXPECT_FALSE(tern::IsCopyName("report.txt", "report - Copy.txt"));
    EXPECT_EQ(capture.Count(kBroken), 1u);

    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=- Copy||_copy\r\nCopykeyAdd=_dup\r\n")));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report - Copy.txt"));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report_copy.txt"));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report_dup.txt"));
    EXPECT_FALSE(tern::IsCopyName("report.txt", "report - COPY.txt"));  // markers are case-sensitive
    EXPECT_FALSE(tern::IsCopyName("report.txt", "report2.txt"));
    EXPECT_FALSE(tern::IsCopyName("report.txt", "rapport_copy.txt"));  // the base is not in the name
    EXPECT_FALSE(tern::IsCopyName("", "report_copy.txt"));
    EXPECT_FALSE(tern::IsCopyName("report.txt", ""));
    EXPECT_TRUE(tern::IsCopyName(".profile", ".profile_copy"));  // a leading dot is no extension
    EXPECT_EQ(capture.Count(kBroken), 1u);

    // The override replaces the markers, the additional ones stay.
    ASSERT_TRUE(m_ini.WriteOverride(Ini("CopyKeyValue=(mine)\r\n")));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report(mine).txt"));
    EXPECT_FALSE(tern::IsCopyName("report.txt", "report_copy.txt"));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report_dup.txt"));

    // Two delimiters in a row: an empty marker, found in every name.
    ASSERT_TRUE(m_ini.WriteOverride(Ini("CopyKeyValue=_copy||||_other\r\n")));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report anything.txt"));
    EXPECT_TRUE(tern::IsCopyName("report.txt", "report.txt.bak"));
    EXPECT_FALSE(tern::IsCopyName("report.txt", "rapport anything.txt"));

    // Broken INI files: garbage, no section, a key without value.
    m_ini.RemoveAll();
    const std::string vecBroken[] = {
        std::string("\x01\xFF\xFE garbage \0 [[[ ]]] ==", 24),
        "CopyKeyValue=_copy\r\n",
        Ini("CopyKeyValue=\r\nCopykeyAdd=_dup\r\n"),
        "[KeyNameOfCopyFile\r\nCopyKeyValue=_copy\r\n",
    };
    for (const std::string& strContent : vecBroken) {
        capture.Clear();
        ASSERT_TRUE(m_ini.WriteMain(strContent));
        EXPECT_FALSE(tern::IsCopyName("report.txt", "report_copy.txt"));
        EXPECT_FALSE(tern::IsCopyName("report.txt", "report_dup.txt"));
        EXPECT_EQ(capture.Count(kBroken), 2u);
    }
}

TEST_F(CopyDetectionSource, NumberedCopyNames) {
    // No INI needed: the names do not contain each other's base.
    EXPECT_TRUE(tern::IsCopyName("Copy of (2) x.txt", "Copy of (3) x.txt"));
    EXPECT_TRUE(tern::IsCopyName("Copy of (12) x.txt", "Copy of (3) X.TXT"));
    EXPECT_TRUE(tern::IsCopyName("Copy of (a2) x.txt", "Copy of (a3) x.txt"));
    EXPECT_FALSE(tern::IsCopyName("Copy of (2) x.txt", "Copy of (3) y.txt"));
    EXPECT_FALSE(tern::IsCopyName("Copy of (2) x.txt", "copy of (3) x.txt"));  // prefixes are exact
    EXPECT_FALSE(tern::IsCopyName("Copy of (2) x.txt", "y.txt"));

    const std::string strChinese = kChinese;
    EXPECT_TRUE(tern::IsCopyName(strChinese + " (2) x.txt", strChinese + " (3) X.txt"));
    EXPECT_TRUE(tern::IsCopyName(strChinese + " (10) x.txt", strChinese + " (7) x.txt"));
    EXPECT_FALSE(tern::IsCopyName(strChinese + " (2) x.txt", "Copy of (3) x.txt"));
    EXPECT_FALSE(tern::IsCopyName(strChinese + " (2) x.txt", strChinese + " (3) z.txt"));

    // Parentheses in odd places: the other name's positions may lie past the
    // end of the name being trimmed.
    EXPECT_FALSE(tern::IsCopyName("Copy of (1234567890123456789) x", "Copy of (1"));
    EXPECT_TRUE(tern::IsCopyName("Copy of (1234567890123456789)", "Copy of (1)"));
    EXPECT_FALSE(tern::IsCopyName("Copy of (9", "Copy of ()"));
    EXPECT_FALSE(tern::IsCopyName("Copy of ()))", "Copy of (((((9"));
    EXPECT_FALSE(tern::IsCopyName(strChinese + " (", "Copy of ("));
}

TEST_F(CopyDetectionSource, SourceFromSectionOrClipboard) {
    DebugOutputCapture capture;
    EXPECT_EQ(Find("D:\\b\\report.DOC"), "");
    EXPECT_EQ(capture.Count("lstFiles is empty"), 1u);

    // The same name in any folder; entries in list order.
    m_section.WriteText("C:\\first\\other.doc|C:\\a\\Report.doc|C:\\z\\report.doc");
    EXPECT_EQ(Find("D:\\b\\report.DOC"), "C:\\a\\Report.doc");
    EXPECT_EQ(Find("D:\\b\\report.txt"), "");
    EXPECT_EQ(Find("D:\\b\\report.DOC\\"), "");  // no name after the last backslash
    EXPECT_EQ(Find("report.doc"), "");            // no backslash: never a copy
    EXPECT_EQ(Find("\\report.doc"), "");          // the only backslash comes first

    // Entries without a folder are never sources.
    m_section.WriteText("report.doc|\\report.doc");
    EXPECT_EQ(Find("D:\\report.doc"), "");

    // The same folder: numbered copies and configured markers.
    m_section.WriteText("C:\\a\\x.txt|C:\\a\\Copy of (2) y.txt");
    EXPECT_EQ(Find("C:\\a\\y.txt"), "");
    EXPECT_EQ(Find("C:\\A\\Copy of (3) y.txt"), "C:\\a\\Copy of (2) y.txt");
    EXPECT_EQ(Find("D:\\a\\Copy of (3) y.txt"), "");  // another folder
    capture.Clear();
    EXPECT_EQ(Find("C:\\a\\x_copy.txt"), "");
    EXPECT_EQ(capture.Count(kBroken), 1u);
    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=_copy\r\n")));
    EXPECT_EQ(Find("C:\\a\\x_copy.txt"), "C:\\a\\x.txt");
    EXPECT_EQ(Find("D:\\a\\x_copy.txt"), "");

    // The clipboard's drop list when the section has none; the section when it has.
    m_section.Clear();
    ASSERT_TRUE(m_clipboard.PutFileDrop({"C:\\clip\\one.doc", "C:\\clip\\two.doc"}));
    EXPECT_EQ(Find("E:\\two.doc"), "C:\\clip\\two.doc");
    m_section.WriteText("C:\\sect\\two.doc");
    EXPECT_EQ(Find("E:\\two.doc"), "C:\\sect\\two.doc");
    EXPECT_EQ(Find("E:\\one.doc"), "");

    // Hostile section contents: a clean answer.
    m_section.Fill('x');
    EXPECT_EQ(Find("E:\\one.doc"), "");
    m_section.Fill('\\');
    EXPECT_EQ(Find("E:\\one.doc"), "");
    m_section.Fill('|');
    EXPECT_EQ(Find("E:\\one.doc"), "C:\\clip\\one.doc");
}

TEST(CopyDetectionUtil, RegistryValuesAndProcessTokens) {
    HANDLE hToken = reinterpret_cast<HANDLE>(1);
    DWORD dwSession = 77;
    const DWORD dwNone = tern::GetTokenByName("no-such-process-here.exe", hToken, dwSession);
    EXPECT_FALSE(tern::UtilSucceeded(dwNone));
    EXPECT_NE(dwNone & 0xF0000000u, 0u);
    EXPECT_EQ(hToken, nullptr);
    EXPECT_FALSE(tern::UtilSucceeded(tern::GetTokenByName("", hToken, dwSession)));

    const char* const pszKey = "Software\\TernFileMonCopyTest";
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &hKey, nullptr),
              ERROR_SUCCESS);
    const char szRaw[] = "%SystemRoot%\\raw";
    ::RegSetValueExA(hKey, "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(szRaw), sizeof(szRaw));
    const DWORD dwNumber = 5;
    ::RegSetValueExA(hKey, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwNumber), sizeof(dwNumber));
    const char szOpen[4] = {'a', 'b', 'c', 'd'};  // stored without a terminating zero
    ::RegSetValueExA(hKey, "Open", 0, REG_SZ, reinterpret_cast<const BYTE*>(szOpen), sizeof(szOpen));
    ::RegCloseKey(hKey);

    std::string strValue = "stale";
    DWORD dwSize = 260;
    EXPECT_TRUE(tern::UtilSucceeded(
        tern::QueryRegKeyValue(HKEY_CURRENT_USER, pszKey, "Expand", dwSize, strValue, tern::REG_VIEW_64)));
    EXPECT_EQ(strValue, szRaw);  // not expanded
    EXPECT_EQ(dwSize, sizeof(szRaw));

    dwSize = 4;
    EXPECT_FALSE(tern::UtilSucceeded(
        tern::QueryRegKeyValue(HKEY_CURRENT_USER, pszKey, "Expand", dwSize, strValue, tern::REG_VIEW_64)));
    EXPECT_EQ(strValue, "");
    EXPECT_EQ(dwSize, sizeof(szRaw));

    dwSize = 260;
    EXPECT_TRUE(tern::UtilSucceeded(
        tern::QueryRegKeyValue(HKEY_CURRENT_USER, pszKey, "Open", dwSize, strValue, tern::REG_VIEW_DEFAULT)));
    EXPECT_EQ(strValue, "abcd");
    EXPECT_FALSE(tern::UtilSucceeded(
        tern::QueryRegKeyValue(HKEY_CURRENT_USER, pszKey, "Number", dwSize, strValue, tern::REG_VIEW_64)));
    EXPECT_FALSE(tern::UtilSucceeded(
        tern::QueryRegKeyValue(HKEY_CURRENT_USER, pszKey, "Missing", dwSize, strValue, tern::REG_VIEW_64)));
    EXPECT_FALSE(tern::UtilSucceeded(tern::QueryRegKeyValue(
        HKEY_CURRENT_USER, "Software\\NoSuchKeyOfTern", "TEMP", dwSize, strValue, tern::REG_VIEW_64)));
    EXPECT_EQ(::RegDeleteTreeA(HKEY_CURRENT_USER, pszKey), ERROR_SUCCESS);
}

TEST_F(CopyDetectionSource, UserTempDirectoryIsNeverACopy) {
    // Without "ZUVOVE.exe" there is no user token: no temporary directory,
    // and the lookup goes on (and tries again next time).
    EXPECT_EQ(tern::GetUserTempPath(), "");
    m_section.WriteText("C:\\docs\\report.doc");
    std::string strTemp;
    EXPECT_EQ(tern::FindCopySource("D:\\report.doc", strTemp), "C:\\docs\\report.doc");
    EXPECT_EQ(strTemp, "");

    TokenProcess zuvove;
    ASSERT_TRUE(zuvove.IsRunning());
    // The user's raw TEMP, expanded here as the same user.
    DWORD dwSize = 260;
    std::string strRaw;
    ASSERT_TRUE(tern::UtilSucceeded(tern::QueryRegKeyValue(HKEY_CURRENT_USER, "Environment", "TEMP",
                                                           dwSize, strRaw, tern::REG_VIEW_64)));
    char szExpected[MAX_PATH] = {};
    ASSERT_NE(::ExpandEnvironmentStringsA(strRaw.c_str(), szExpected, MAX_PATH), 0u);
    ASSERT_STRNE(szExpected, "");

    // The process may take a moment to appear.
    std::string strUserTemp;
    for (int nTry = 0; nTry < 100 && strUserTemp.empty(); ++nTry) {
        strUserTemp = tern::GetUserTempPath();
        if (strUserTemp.empty()) ::Sleep(20);
    }
    EXPECT_EQ(strUserTemp, szExpected);

    DebugOutputCapture capture;
    strTemp.clear();
    const std::string strInTemp = strUserTemp + "\\report.doc";
    // Past the bound after the failed lookup above, the folder is looked up again.
    EXPECT_EQ(tern::FindCopySource(strInTemp, strTemp, ::GetTickCount64() + tern::kUserTempRetryMs), "");
    EXPECT_EQ(strTemp, strUserTemp);
    EXPECT_EQ(capture.Count("m_strTempPath is  empty"), 1u);
    EXPECT_EQ(capture.Count("lstFiles is empty"), 0u);
    EXPECT_EQ(tern::FindCopySource(strInTemp.substr(0, strInTemp.rfind('\\')) + "\\deeper\\report.doc", strTemp), "");

    // Outside the temporary directory the cached value serves and copies are found.
    EXPECT_EQ(tern::FindCopySource("D:\\report.doc", strTemp), "C:\\docs\\report.doc");
    EXPECT_EQ(strTemp, strUserTemp);
}
