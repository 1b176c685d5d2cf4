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

    // A copy of strSource reported for strTarget; an addition when strSource is empty.
    void ExpectReport(const std::string& strSource, const std::string& strTarget) {
        FileMonEvent event;
        ASSERT_TRUE(WaitForReport(strTarget, event)) << "no report for " << strTarget;
        EXPECT_EQ(event.strAction, strSource.empty() ? "Add" : "Copy") << strTarget;
        EXPECT_EQ(event.strPath, strSource.empty() ? strTarget : strSource + " ==> " + strTarget);
        EXPECT_EQ(event.strRuleTag, "copy-test");
        if (strSource.empty()) return;
        EXPECT_EQ(event.strSource, strSource);
        EXPECT_EQ(event.strTarget, strTarget);
    }

    FileMonRuleList m_rules;  // outlives the session that watches with it
    terntest::HostSession m_session;
    std::unique_ptr<SectionWriter> m_pSection;
    ClipboardWriter m_clipboard;
    std::string m_strFrom;
    std::string m_strTo;
};

}  // namespace

TEST_F(CopyDetectionEndToEnd, PastesAndSameFolderCopiesAreCopiesAndTheRestAdditions) {
    CopyIniFiles ini;
    ASSERT_TRUE(ini.WriteMain("[KeyNameOfCopyFile]\r\nCopyKeyValue=- Copy\r\n"));
    const std::string F = m_strFrom, T = m_strTo, strOther = "C:\\section\\wins\\memo.txt";
    const struct {
        std::string strFile, strSection, strDrop, strCopy;
        std::string strSource;  // empty: an addition
    } cases[] = {
        {F + "\\report.doc", "C:\\elsewhere\\other.doc|" + F + "\\report.doc|", "", T + "\\report.doc",
         F + "\\report.doc"},
        {F + "\\sheet.xls", "", F + "\\sheet.xls", T + "\\sheet.xls", F + "\\sheet.xls"},
        {F + "\\memo.txt", strOther, F + "\\memo.txt", T + "\\memo.txt", strOther},  // the section wins
        {F + "\\fresh.txt", "", "", T + "\\fresh.txt", ""},
        // In the same folder: the configured marker makes a copy, the base name alone does not.
        {T + "\\plan.txt", T + "\\plan.txt", "", T + "\\plan - Copy.txt", T + "\\plan.txt"},
        {T + "\\plan.txt", T + "\\plan.txt", "", T + "\\plan final.txt", ""},
        {T + "\\Copy of (2) memo.txt", T + "\\Copy of (2) memo.txt", "", T + "\\Copy of (3) memo.txt",
         T + "\\Copy of (2) memo.txt"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(terntest::WriteTextFile(c.strFile, "text"));
        m_pSection->WriteText(c.strSection);
        ASSERT_TRUE(c.strDrop.empty() ? m_clipboard.Empty() : m_clipboard.PutFileDrop({c.strDrop}));
        ASSERT_TRUE(::CopyFileA(c.strFile.c_str(), c.strCopy.c_str(), TRUE));
        ExpectReport(c.strSource, c.strCopy);
    }

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
    ExpectReport(strChinese, strChineseCopy);
}
