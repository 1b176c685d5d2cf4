// Fixtures of the copy-detection tests: the clipboard, the shared section,
// the copy-key INI files and the "ZUVOVE.exe" token process.
#ifndef TERNFILEMON_TESTS_COPYDETECTIONSUPPORT_H
#define TERNFILEMON_TESTS_COPYDETECTIONSUPPORT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../TernFileMon/common/Win32Handles.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"

namespace terntest {

// A message-only window that owns the clipboard while it puts data there.
class ClipboardWriter {
public:
    ClipboardWriter();
    ~ClipboardWriter();
    ClipboardWriter(const ClipboardWriter&) = delete;
    ClipboardWriter& operator=(const ClipboardWriter&) = delete;

    // A file drop of full paths, UTF-16 (as Explorer puts it) or ANSI.
    bool PutFileDrop(const std::vector<std::string>& vecPaths, bool bWide = true);
    bool PutText(const std::string& strText);
    bool Empty();

private:
    bool Put(UINT nFormat, const void* pData, size_t nSize);
    HWND m_hWnd;
};

// Writes the shared section "Global\Nimb_Clipbrd_Buffer" the way the client's
// other process does (the section must exist); emptied when the object goes.
class SectionWriter {
public:
    SectionWriter();
    ~SectionWriter() { Clear(); }

    bool IsOpen() const { return m_view.IsValid(); }
    // The text and its terminating zero.
    void WriteText(const std::string& strText);
    // Every byte of the section, no terminator anywhere.
    void Fill(char ch);
    void Clear() { WriteText(""); }

private:
    tern::UniqueHandle m_hSection;
    tern::UniqueMappedView m_view;
};

// CopyFileKey.ini (and its "_cust.ini" override) where the copy detection
// looks for them; both removed when the object goes.
class CopyIniFiles {
public:
    CopyIniFiles();
    ~CopyIniFiles();
    CopyIniFiles(const CopyIniFiles&) = delete;
    CopyIniFiles& operator=(const CopyIniFiles&) = delete;

    const std::string& MainPath() const { return m_strMain; }
    const std::string& OverridePath() const { return m_strOverride; }
    // Writes the whole file: the raw text is the file's content.
    bool WriteMain(const std::string& strContent);
    bool WriteOverride(const std::string& strContent);
    void RemoveAll();

private:
    std::string m_strMain;
    std::string m_strOverride;
    std::string m_strCreatedFolder;
};

// "ZUVOVE.exe" running from a fresh folder of the fixed test drive while the
// object lives.
class TokenProcess {
public:
    TokenProcess();
    ~TokenProcess();
    bool IsRunning() const { return m_hProcess.IsValid(); }

private:
    tern::UniqueHandle m_hProcess;
    std::string m_strFolder;
};

// The section made as the first policy handler makes it, the clipboard and the
// INI files; every test starts with an empty section and clipboard.
class CopyDetectionSource : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bSectionCreated);
        ASSERT_TRUE(m_section.IsOpen());
        m_section.Clear();
        m_clipboard.Empty();
    }
    // Before the writer opens the section.
    const bool m_bSectionCreated = tern::CreateClipboardBuffer();
    SectionWriter m_section;
    ClipboardWriter m_clipboard;
    CopyIniFiles m_ini;
};

}  // namespace terntest

#endif
