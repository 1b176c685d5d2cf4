#include "CopyDetectionSupport.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <cstring>

#include "ProgramRun.h"
#include "TestDrives.h"
#include "../../TernFileMon/copy/CopySource.h"

namespace terntest {

namespace {

// Another window may hold the clipboard for a moment.
bool OpenClipboardPatiently(HWND hWnd) {
    for (int nTry = 0; nTry < 50; ++nTry) {
        if (::OpenClipboard(hWnd)) return true;
        ::Sleep(10);
    }
    return false;
}

std::vector<BYTE> DropBlock(const std::vector<std::string>& vecPaths, bool bWide) {
    DROPFILES header = {};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = bWide ? TRUE : FALSE;
    std::vector<BYTE> vecBlock(reinterpret_cast<const BYTE*>(&header),
                               reinterpret_cast<const BYTE*>(&header) + sizeof(header));
    for (const std::string& strPath : vecPaths) {
        if (bWide) {
            const int nChars = ::MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, nullptr, 0);
            std::vector<wchar_t> vecWide(static_cast<size_t>(nChars));
            ::MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, vecWide.data(), nChars);
            const BYTE* pBytes = reinterpret_cast<const BYTE*>(vecWide.data());
            vecBlock.insert(vecBlock.end(), pBytes, pBytes + vecWide.size() * sizeof(wchar_t));
        } else {
            vecBlock.insert(vecBlock.end(), strPath.begin(), strPath.end());
            vecBlock.push_back(0);
        }
    }
    vecBlock.insert(vecBlock.end(), bWide ? sizeof(wchar_t) : 1, 0);
    return vecBlock;
}

}  // namespace

ClipboardWriter::ClipboardWriter()
    : m_hWnd(::CreateWindowExA(0, "STATIC", "CopyDetectionClipboard", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, nullptr, nullptr)) {
    EXPECT_NE(m_hWnd, nullptr) << "no clipboard window, error " << ::GetLastError();
}

ClipboardWriter::~ClipboardWriter() {
    if (m_hWnd == nullptr) return;
    Empty();
    ::DestroyWindow(m_hWnd);
}

bool ClipboardWriter::Put(UINT nFormat, const void* pData, size_t nSize) {
    HGLOBAL hData = ::GlobalAlloc(GMEM_MOVEABLE, nSize);
    if (hData == nullptr) return false;
    void* pTarget = ::GlobalLock(hData);
    std::memcpy(pTarget, pData, nSize);
    ::GlobalUnlock(hData);
    if (!OpenClipboardPatiently(m_hWnd)) {
        ::GlobalFree(hData);
        return false;
    }
    ::EmptyClipboard();
    const bool bSet = ::SetClipboardData(nFormat, hData) != nullptr;
    if (!bSet) ::GlobalFree(hData);  // the clipboard did not take it
    ::CloseClipboard();
    return bSet;
}

bool ClipboardWriter::PutFileDrop(const std::vector<std::string>& vecPaths, bool bWide) {
    const std::vector<BYTE> vecBlock = DropBlock(vecPaths, bWide);
    return Put(CF_HDROP, vecBlock.data(), vecBlock.size());
}

bool ClipboardWriter::PutText(const std::string& strText) {
    return Put(CF_TEXT, strText.c_str(), strText.size() + 1);
}

bool ClipboardWriter::Empty() {
    if (!OpenClipboardPatiently(m_hWnd)) return false;
    const bool bEmptied = ::EmptyClipboard() != FALSE;
    ::CloseClipboard();
    return bEmptied;
}

SectionWriter::SectionWriter()
    : m_hSection(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, tern::kClipBufferName)) {
    if (m_hSection) {
        m_view.Reset(::MapViewOfFile(m_hSection.Get(), FILE_MAP_ALL_ACCESS, 0, 0, tern::kClipBufferSize));
    }
    EXPECT_TRUE(IsOpen()) << "cannot write the shared section, error " << ::GetLastError();
}

void SectionWriter::WriteText(const std::string& strText) {
    if (IsOpen() && strText.size() < tern::kClipBufferSize) {
        std::memcpy(m_view.Get(), strText.c_str(), strText.size() + 1);
    }
}

void SectionWriter::Fill(char ch) {
    if (IsOpen()) std::memset(m_view.Get(), ch, tern::kClipBufferSize);
}

CopyIniFiles::CopyIniFiles() {
    m_strMain = tern::GetCopyIniPath();
    EXPECT_FALSE(m_strMain.empty());
    const size_t nDot = m_strMain.rfind('.');
    m_strOverride = m_strMain.substr(0, nDot) + "_cust.ini";
    const std::string strFolder = m_strMain.substr(0, m_strMain.rfind('\\'));
    if (::GetFileAttributesA(strFolder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        EXPECT_TRUE(::CreateDirectoryA(strFolder.c_str(), nullptr)) << strFolder;
        m_strCreatedFolder = strFolder;
    }
    RemoveAll();
}

CopyIniFiles::~CopyIniFiles() {
    RemoveAll();
    if (!m_strCreatedFolder.empty()) ::RemoveDirectoryA(m_strCreatedFolder.c_str());
}

bool CopyIniFiles::WriteMain(const std::string& strContent) {
    return WriteTextFile(m_strMain, strContent);
}

bool CopyIniFiles::WriteOverride(const std::string& strContent) {
    return WriteTextFile(m_strOverride, strContent);
}

void CopyIniFiles::RemoveAll() {
    ::DeleteFileA(m_strMain.c_str());
    ::DeleteFileA(m_strOverride.c_str());
}

TokenProcess::TokenProcess() {
    m_strFolder = MakeFreshFolder(FixedDriveRoot(), "zuvove");
    const std::string strSource = ThisProgramFolder() + "\\copy_token_process.exe";
    const std::string strTarget = m_strFolder + "\\ZUVOVE.exe";
    if (!::CopyFileA(strSource.c_str(), strTarget.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << strSource << ", error " << ::GetLastError();
        return;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::string strCommand = "\"" + strTarget + "\"";
    if (!::CreateProcessA(strTarget.c_str(), &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr,
                          m_strFolder.c_str(), &startup, &info)) {
        ADD_FAILURE() << "cannot start " << strTarget << ", error " << ::GetLastError();
        return;
    }
    ::CloseHandle(info.hThread);
    m_hProcess.Reset(info.hProcess);
}

TokenProcess::~TokenProcess() {
    if (m_hProcess) {
        ::TerminateProcess(m_hProcess.Get(), 0);
        ::WaitForSingleObject(m_hProcess.Get(), 5000);
        m_hProcess.Reset();
    }
    RemoveTree(m_strFolder);
}

}  // namespace terntest
