// Copies made on the Wine test drives while the whole component watches them,
// as a host runs it: the DLL's CreateObject, StartMonitoring with a rule that
// takes every addition and copy, and the reports that reach the callback.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CopyDetectionSupport.h"
#include "HostSession.h"
#include "TernFileMon.h"
#include "TestDrives.h"
#include "TestFiles.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"

using terntest::ClipboardWriter;
using terntest::CopyIniFiles;
using terntest::FixedDriveRoot;
using terntest::MakeFreshFolder;
using terntest::RemoveTree;
using terntest::SectionWriter;

namespace {

class CopyDetectionEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_session.IsOpen());
        m_rules.push_back(FileMonRule{"*", "", "Add|Copy", "copy-test"});
        ASSERT_TRUE(m_session.Start(FILEMON_LOCAL, &m_rules));
        // The first policy handler has made the section; the client's other
        // process writes it.
        m_pSection.reset(new SectionWriter);
        ASSERT_TRUE(m_pSection->IsOpen());
        m_pSection->Clear();
        m_clipboard.Empty();
        // Folders made after watching began (the watch follows only those).
        m_strFrom = MakeFreshFolder(FixedDriveRoot(), "copy-from");
        m_strTo = MakeFreshFolder(FixedDriveRoot(), "copy-to");
        ::Sleep(100);
    }

    void TearDown() override {
        m_pSection.reset();
        RemoveTree(m_strFrom);
        RemoveTree(m_strTo);
    }

    // The first report about strPath (as path or copy target), waiting up to 5 s.
    bool WaitForReport(const std::string& strPath, FileMonEvent& event) {
        const ULONGLONG nDeadline = ::GetTickCount64() + 5000;
        for (;;) {
            for (const terntest::HostReport& report : terntest::Reports()) {
                if (report.event.strPath == strPath || report.event.strTarget == strPath) {
                    event = report.event;
                    return true;
                }
            }
            if (::GetTickCount64() >= nDeadline) return false;
            ::Sleep(20);
        }
    }

    void ExpectCopy(const std::string& strSource, const std::string& strTarget) {
        FileMonEvent event;
        ASSERT_TRUE(WaitForReport(strTarget, event)) << "no report for " << strTarget;
        EXPECT_EQ(event.strAction, "Copy");
        EXPECT_EQ(event.strSource, strSource);
        EXPECT_EQ(event.strTarget, strTarget);
        EXPECT_EQ(event.strPath, strSource + " ==> " + strTarget);
        EXPECT_EQ(event.strRuleTag, "copy-test");
    }

    void ExpectAdd(const std::string& strPath) {
        FileMonEvent event;
        ASSERT_TRUE(WaitForReport(strPath, event)) << "no report for " << strPath;
        EXPECT_EQ(event.strAction, "Add");
        EXPECT_EQ(event.strPath, strPath);
    }

    FileMonRuleList m_rules;  // outlives the session that watches with it
    terntest::HostSession m_session;
    std::unique_ptr<SectionWriter> m_pSection;
    ClipboardWriter m_clipboard;
    std::string m_strFrom;
    std::string m_strTo;
};

}  // namespace

TEST_F(CopyDetectionEndToEnd, PasteFromTheSectionOrTheClipboardIsACopy) {
    // Listed in the shared section.
    const std::string strSource = m_strFrom + "\\report.doc";
    ASSERT_TRUE(terntest::WriteTextFile(strSource, "report"));
    m_pSection->WriteText("C:\\elsewhere\\other.doc|" + strSource + "|");
    ASSERT_TRUE(::CopyFileA(strSource.c_str(), (m_strTo + "\\report.doc").c_str(), TRUE));
    ExpectCopy(strSource, m_strTo + "\\report.doc");

    // On the clipboard as a file drop, the section empty.
    m_pSection->Clear();
    const std::string strClipSource = m_strFrom + "\\sheet.xls";
    ASSERT_TRUE(terntest::WriteTextFile(strClipSource, "sheet"));
    ASSERT_TRUE(m_clipboard.PutFileDrop({strClipSource}));
    ASSERT_TRUE(::CopyFileA(strClipSource.c_str(), (m_strTo + "\\sheet.xls").c_str(), TRUE));
    ExpectCopy(strClipSource, m_strTo + "\\sheet.xls");

    // Both: the section wins.
    const std::string strOther = "C:\\section\\wins\\memo.txt";
    m_pSection->WriteText(strOther);
    const std::string strMemo = m_strFrom + "\\memo.txt";
    ASSERT_TRUE(terntest::WriteTextFile(strMemo, "memo"));
    ASSERT_TRUE(m_clipboard.PutFileDrop({strMemo}));
    ASSERT_TRUE(::CopyFileA(strMemo.c_str(), (m_strTo + "\\memo.txt").c_str(), TRUE));
    ExpectCopy(strOther, m_strTo + "\\memo.txt");

    // Nothing listed anywhere: an addition.
    m_pSection->Clear();
    ASSERT_TRUE(m_clipboard.Empty());
    ASSERT_TRUE(terntest::WriteTextFile(m_strTo + "\\fresh.txt", "fresh"));
    ExpectAdd(m_strTo + "\\fresh.txt");
}

TEST_F(CopyDetectionEndToEnd, SameFolderAndNumberedCopies) {
    CopyIniFiles ini;
    ASSERT_TRUE(ini.WriteMain("[KeyNameOfCopyFile]\r\nCopyKeyValue=- Copy\r\n"));
    const std::string strSource = m_strTo + "\\plan.txt";
    ASSERT_TRUE(terntest::WriteTextFile(strSource, "plan"));
    m_pSection->WriteText(strSource);
    ASSERT_TRUE(::CopyFileA(strSource.c_str(), (m_strTo + "\\plan - Copy.txt").c_str(), TRUE));
    ExpectCopy(strSource, m_strTo + "\\plan - Copy.txt");

    // A name with the base but no marker stays an addition.
    ASSERT_TRUE(::CopyFileA(strSource.c_str(), (m_strTo + "\\plan final.txt").c_str(), TRUE));
    ExpectAdd(m_strTo + "\\plan final.txt");

    // Numbered copies, the English and the Chinese prefix.
    const std::string strNumbered = m_strTo + "\\Copy of (2) memo.txt";
    ASSERT_TRUE(terntest::WriteTextFile(strNumbered, "memo"));
    m_pSection->WriteText(strNumbered);
    ASSERT_TRUE(::CopyFileA(strNumbered.c_str(), (m_strTo + "\\Copy of (3) memo.txt").c_str(), TRUE));
    ExpectCopy(strNumbered, m_strTo + "\\Copy of (3) memo.txt");

    // File names reach the component in code page 936 whatever the system's
    // ANSI code page: the files are made under their UTF-16 names.
    const std::wstring strWideFolder(m_strTo.begin(), m_strTo.end());
    const std::wstring strWideSource = strWideFolder + L"\\\u590D\u4EF6 (2) memo.txt";
    const std::wstring strWideCopy = strWideFolder + L"\\\u590D\u4EF6 (3) memo.txt";
    const std::string strChinese = m_strTo + "\\\xB8\xB4\xBC\xFE (2) memo.txt";
    const std::string strChineseCopy = m_strTo + "\\\xB8\xB4\xBC\xFE (3) memo.txt";
    HANDLE hFile = ::CreateFileW(strWideSource.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    ::CloseHandle(hFile);
    m_pSection->WriteText(strChinese);
    ASSERT_TRUE(::CopyFileW(strWideSource.c_str(), strWideCopy.c_str(), TRUE));
    ExpectCopy(strChinese, strChineseCopy);
}
