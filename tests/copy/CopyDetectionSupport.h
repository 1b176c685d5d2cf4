// Fixtures of the copy-detection tests: the clipboard, the shared section,
// the copy-key INI files and the "ZUVOVE.exe" token process.
#ifndef TERNFILEMON_TESTS_COPYDETECTIONSUPPORT_H
#define TERNFILEMON_TESTS_COPYDETECTIONSUPPORT_H

#include <windows.h>

#include <string>
#include <vector>

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
// other process does (the section must exist).
class SectionWriter {
public:
    SectionWriter();
    ~SectionWriter();
    SectionWriter(const SectionWriter&) = delete;
    SectionWriter& operator=(const SectionWriter&) = delete;

    bool IsOpen() const { return m_pView != nullptr; }
    // The text and its terminating zero.
    void WriteText(const std::string& strText);
    // Every byte of the section, no terminator anywhere.
    void Fill(char ch);
    void Clear() { WriteText(""); }

private:
    HANDLE m_hSection;
    char* m_pView;
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
    TokenProcess(const TokenProcess&) = delete;
    TokenProcess& operator=(const TokenProcess&) = delete;
    bool IsRunning() const { return m_hProcess != nullptr; }

private:
    HANDLE m_hProcess;
    std::string m_strFolder;
};

}  // namespace terntest

#endif
