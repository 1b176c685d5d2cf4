// What copy detection keeps between added files: every change of the section,
// the clipboard or the INI files is seen by the very next lookup; hostile
// contents give a clear answer; a failed lookup of the user's temporary
// folder is repeated only after its bound.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstring>

#include "CopyDetectionSupport.h"
#include "DebugOutputCapture.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/copy/CopySource.h"
#include "../../TernFileMon/copy/DropListReader.h"

using terntest::ClipboardWriter;
using terntest::CopyIniFiles;
using terntest::DebugOutputCapture;
using terntest::SectionWriter;
using terntest::TokenProcess;
using Names = std::vector<std::string>;

namespace {

constexpr char kEmptyList[] = "lstFiles is empty";

std::string Ini(const std::string& strLines) { return "[KeyNameOfCopyFile]\r\n" + strLines; }

class CopyDetectionCache : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bSectionCreated);
        ASSERT_TRUE(m_section.IsOpen());
        m_section.Clear();
        m_clipboard.Empty();
    }

    // A lookup with a temporary folder that no test path lies in.
    std::string Find(const std::string& strNewPath) {
        std::string strTemp = "Q:\\no-temp-here";
        return tern::FindCopySource(strNewPath, strTemp);
    }

    const bool m_bSectionCreated = tern::CreateClipboardBuffer();
    SectionWriter m_section;
    ClipboardWriter m_clipboard;
    CopyIniFiles m_ini;
};

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

TEST_F(CopyDetectionCache, EveryChangeIsSeenByTheNextAddedFile) {
    // The section: same length, other bytes; then longer; then emptied.
    m_section.WriteText("C:\\docs\\aaaa.doc");
    EXPECT_EQ(Find("E:\\aaaa.doc"), "C:\\docs\\aaaa.doc");
    m_section.WriteText("C:\\docs\\bbbb.doc");
    EXPECT_EQ(Find("E:\\aaaa.doc"), "");
    EXPECT_EQ(Find("E:\\bbbb.doc"), "C:\\docs\\bbbb.doc");
    m_section.WriteText("C:\\docs\\bbbb.doc|C:\\more\\cccc.doc");
    EXPECT_EQ(Find("E:\\cccc.doc"), "C:\\more\\cccc.doc");

    // The section emptied: the clipboard serves, and each new drop is read.
    m_section.Clear();
    ASSERT_TRUE(m_clipboard.PutFileDrop({"C:\\clip\\one.doc"}));
    EXPECT_EQ(Find("E:\\one.doc"), "C:\\clip\\one.doc");
    ASSERT_TRUE(m_clipboard.PutFileDrop({"C:\\clip\\two.doc"}, false));
    EXPECT_EQ(Find("E:\\one.doc"), "");
    EXPECT_EQ(Find("E:\\two.doc"), "C:\\clip\\two.doc");
    {
        DebugOutputCapture capture;
        ASSERT_TRUE(m_clipboard.PutText("C:\\clip\\two.doc"));
        EXPECT_EQ(Find("E:\\two.doc"), "");
        EXPECT_EQ(capture.Count(kEmptyList), 1u);
    }
    // A path in the section wins over the clipboard at once.
    ASSERT_TRUE(m_clipboard.PutFileDrop({"C:\\clip\\two.doc"}));
    m_section.WriteText("C:\\docs\\two.doc");
    EXPECT_EQ(Find("E:\\two.doc"), "C:\\docs\\two.doc");

    // The markers of the INI file and of its override, as they are written.
    m_section.WriteText("C:\\a\\x.txt");
    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=_copy\r\n")));
    EXPECT_EQ(Find("C:\\a\\x_copy.txt"), "C:\\a\\x.txt");
    EXPECT_EQ(Find("C:\\a\\x_dupe.txt"), "");
    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=_dupe||_more\r\n")));
    EXPECT_EQ(Find("C:\\a\\x_dupe.txt"), "C:\\a\\x.txt");
    EXPECT_EQ(Find("C:\\a\\x_copy.txt"), "");
    ASSERT_TRUE(m_ini.WriteOverride(Ini("CopyKeyValue=_copy\r\n")));
    EXPECT_EQ(Find("C:\\a\\x_copy.txt"), "C:\\a\\x.txt");
    EXPECT_EQ(Find("C:\\a\\x_dupe.txt"), "");
    m_ini.RemoveAll();
    DebugOutputCapture capture;
    EXPECT_EQ(Find("C:\\a\\x_copy.txt"), "");
    EXPECT_EQ(capture.Count("CopyFileKey.ini is broken"), 1u);
}

TEST_F(CopyDetectionCache, HostileSectionContentsGiveClearAnswers) {
    // A full section of one-character entries: a list, but no source in it.
    std::string strFull;
    while (strFull.size() + 2 < tern::kClipBufferSize) strFull += "a|";
    m_section.WriteText(strFull);
    {
        DebugOutputCapture capture;
        EXPECT_EQ(Find("E:\\a"), "");
        EXPECT_EQ(capture.Count(kEmptyList), 0u);
    }
    // Every byte used, no terminator, then a real list, then no terminator again.
    const struct {
        bool bFill;
        char chFill;
        const char* pszText;
        const char* pszExpected;
    } steps[] = {
        {true, 'x', "", ""},
        {false, 0, "C:\\docs\\data.bin", "C:\\docs\\data.bin"},
        {true, '|', "", ""},
        {true, '\\', "", ""},
        {false, 0, "|C:\\docs\\data.bin|", "C:\\docs\\data.bin"},
    };
    for (const auto& step : steps) {
        if (step.bFill) {
            m_section.Fill(step.chFill);
        } else {
            m_section.WriteText(step.pszText);
        }
        EXPECT_EQ(Find("E:\\data.bin"), step.pszExpected) << "fill '" << step.chFill << "'";
    }
}

TEST(CopyDetectionDropList, HostileBlocksGiveNoNamesAndGoodOnesAllOfThem) {
    const char szAnsi[] = "C:\\a.txt\0D:\\b\\c.doc\0";  // the list's closing zero ends the literal
    const wchar_t szWide[] = L"C:\\w.txt\0";
    const char szOpen[] = {'C', ':', '\\', 'x'};  // no terminator at all
    const BYTE abOdd[] = {'C', 0, ':', 0, 'x'};     // wide, odd length, no terminator
    const std::string strLong(600, 'n');
    const std::string strLongList = strLong + std::string(2, '\0');
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
        {"name longer than a buffer", Block(dwHeader, FALSE, strLongList.data(), strLongList.size()),
         true, {std::string(519, 'n')}},
    };
    for (const auto& c : cases) {
        Names vecNames = {"left over"};
        EXPECT_EQ(tern::ParseDropFiles(c.vecBlock.data(), c.vecBlock.size(), vecNames), c.bParsed) << c.pszCase;
        EXPECT_EQ(vecNames, c.vecNames) << c.pszCase;
    }
    Names vecNames = {"left over"};
    EXPECT_FALSE(tern::ParseDropFiles(nullptr, 100, vecNames));
    EXPECT_TRUE(vecNames.empty());
    const std::vector<BYTE> vecShort(sizeof(DROPFILES) - 1, 0);
    EXPECT_FALSE(tern::ParseDropFiles(vecShort.data(), vecShort.size(), vecNames));
}

TEST_F(CopyDetectionCache, HugeDropListAnswersEveryName) {
    Names vecPaths;
    for (int i = 0; i < 100000; ++i) vecPaths.push_back("C:\\clip\\name" + std::to_string(i) + ".doc");
    ASSERT_TRUE(m_clipboard.PutFileDrop(vecPaths));
    EXPECT_EQ(Find("E:\\name0.doc"), "C:\\clip\\name0.doc");
    EXPECT_EQ(Find("E:\\NAME99999.DOC"), "C:\\clip\\name99999.doc");
    EXPECT_EQ(Find("E:\\name100000.doc"), "");
    // In the clipboard's own folder the first same-folder copy name wins over
    // a same-name entry further down.
    ASSERT_TRUE(m_ini.WriteMain(Ini("CopyKeyValue=name5\r\n")));
    EXPECT_EQ(Find("C:\\clip\\name50.doc"), "C:\\clip\\name5.doc");
}

TEST(CopyDetectionUserTemp, FailedLookupIsRepeatedOnlyAfterTheBound) {
    const ULONGLONG nFailedAt = 5000000;
    tern::CUserTempLookup lookup;
    std::string strTemp;
    lookup.Fill(strTemp, nFailedAt);  // no "ZUVOVE.exe" yet
    EXPECT_EQ(strTemp, "");

    TokenProcess zuvove;
    ASSERT_TRUE(zuvove.IsRunning());
    std::string strUserTemp;
    for (int nTry = 0; nTry < 100 && strUserTemp.empty(); ++nTry) {
        strUserTemp = tern::GetUserTempPath();
        if (strUserTemp.empty()) ::Sleep(20);
    }
    ASSERT_NE(strUserTemp, "");

    lookup.Fill(strTemp, nFailedAt + tern::kUserTempRetryMs - 1);
    EXPECT_EQ(strTemp, "") << "looked up again within the bound";
    lookup.Fill(strTemp, nFailedAt + tern::kUserTempRetryMs);
    EXPECT_EQ(strTemp, strUserTemp) << "not looked up again at the bound";

    // A lookup that never failed asks at once; a found folder is kept.
    tern::CUserTempLookup fresh;
    std::string strFresh;
    fresh.Fill(strFresh, nFailedAt);
    EXPECT_EQ(strFresh, strUserTemp);
    strFresh = "kept";
    fresh.Fill(strFresh, nFailedAt + 1);
    EXPECT_EQ(strFresh, "kept");
}
