#include "ScenarioSteps.h"

#include <dbt.h>
#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "HostModes.h"
#include "Win32Handles.h"

namespace tern {

namespace {

constexpr const char* CLIPBOARD_SECTION = "Global\\Nimb_Clipbrd_Buffer";
constexpr DWORD CLIPBOARD_SECTION_SIZE = 0x104000;

bool WriteSection(const std::string& strText) {
    UniqueHandle hSection(::OpenFileMappingA(FILE_MAP_WRITE, FALSE, CLIPBOARD_SECTION));
    if (!hSection || strText.size() + 1 > CLIPBOARD_SECTION_SIZE) return false;
    UniqueMappedView view(::MapViewOfFile(hSection.Get(), FILE_MAP_WRITE, 0, 0, strText.size() + 1));
    if (!view) return false;
    std::memcpy(view.Get(), strText.c_str(), strText.size() + 1);
    return true;
}

// A DROPFILES block: the header, then the NUL-separated ANSI paths and one more NUL.
HGLOBAL MakeDropList(const std::string& strBarSeparatedPaths) {
    std::string strList;
    size_t nStart = 0;
    while (nStart < strBarSeparatedPaths.size()) {
        size_t nBar = strBarSeparatedPaths.find('|', nStart);
        if (nBar == std::string::npos) nBar = strBarSeparatedPaths.size();
        if (nBar > nStart) strList += strBarSeparatedPaths.substr(nStart, nBar - nStart) + '\0';
        nStart = nBar + 1;
    }
    strList += '\0';
    HGLOBAL hDrop = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + strList.size());
    if (hDrop == nullptr) return nullptr;
    auto* pDrop = static_cast<DROPFILES*>(::GlobalLock(hDrop));
    pDrop->pFiles = sizeof(DROPFILES);
    pDrop->fWide = FALSE;
    std::memcpy(reinterpret_cast<char*>(pDrop) + sizeof(DROPFILES), strList.data(), strList.size());
    ::GlobalUnlock(hDrop);
    return hDrop;
}

bool WriteClipboard(const std::string& strBarSeparatedPaths) {
    if (!::OpenClipboard(nullptr)) return false;
    ::EmptyClipboard();
    bool bOk = true;
    if (!strBarSeparatedPaths.empty()) {
        HGLOBAL hDrop = MakeDropList(strBarSeparatedPaths);
        bOk = hDrop != nullptr && ::SetClipboardData(CF_HDROP, hDrop) != nullptr;
        if (!bOk && hDrop != nullptr) ::GlobalFree(hDrop);  // the clipboard did not take it
    }
    ::CloseClipboard();
    return bOk;
}

bool MoveFileOver(const std::string& strFrom, const std::string& strTo) {
    return ::MoveFileExA(strFrom.c_str(), strTo.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

bool PublishCopiedFiles(const std::string& strBarSeparatedPaths) {
    const bool bSection = WriteSection(strBarSeparatedPaths);
    const bool bClipboard = WriteClipboard(strBarSeparatedPaths);
    return bSection || bClipboard;
}

bool SendVolumeArrival(char chDrive) {
    HWND hWnd = ::FindWindowA("FileMonWindowClass", "FileMon");
    if (hWnd == nullptr) return false;
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1UL << (chDrive - 'A');
    DWORD_PTR nResult = 0;
    return ::SendMessageTimeoutA(hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                                 reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG, 5000,
                                 &nResult) != 0;
}

bool WriteTextFile(const std::string& strPath, const std::string& strText) {
    UniqueHandle hFile(::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD nWritten = 0;
    return hFile && ::WriteFile(hFile.Get(), strText.data(), static_cast<DWORD>(strText.size()),
                                &nWritten, nullptr) &&
           nWritten == strText.size();
}

ScenarioSteps::ScenarioSteps(const ScenarioSettings& settings) : m_settings(settings) {
    if (m_settings.strFolderName.empty()) {
        m_settings.strFolderName = "ternwatch-demo-" + std::to_string(::GetCurrentProcessId()) +
                                   "-" + std::to_string(::GetTickCount() % 100000);
    }
    m_strFixedDir = m_settings.strFixedRoot + m_settings.strFolderName;
    m_strRemovableDir = m_settings.strRemovableRoot + m_settings.strFolderName;
    m_strArrivedFile = m_settings.strRemovableRoot + m_settings.strFolderName + "-arrived.txt";
}

bool ScenarioSteps::WaitForWatcher(DWORD nTimeoutMs) {
    const ULONGLONG nDeadline = ::GetTickCount64() + nTimeoutMs;
    for (;;) {
        UniqueHandle hEvent(::OpenEventA(SYNCHRONIZE, FALSE, WATCHING_EVENT_NAME));
        if (hEvent && ::WaitForSingleObject(hEvent.Get(), 0) == WAIT_OBJECT_0) return true;
        if (::GetTickCount64() >= nDeadline) return false;
        ::Sleep(100);
    }
}

bool ScenarioSteps::Step(const std::string& strWhat, const std::function<bool()>& fnDo) {
    std::printf("scenario: %s\n", strWhat.c_str());
    std::fflush(stdout);
    const bool bOk = fnDo();
    if (!bOk) {
        std::printf("scenario:   FAILED (error %lu)\n", ::GetLastError());
        std::fflush(stdout);
    }
    m_bAllOk = m_bAllOk && bOk;
    Pause();
    return bOk;
}

bool ScenarioSteps::Run() {
    // The folders come first: a watch under Wine follows only folders made after it began.
    if (MakeFolders()) {
        NewFile();
        PasteCopiedFile();
        OfficeSave();
        RenameFile();
        DeleteFile();
    }
    RemovableArrival();
    if (!m_settings.bKeep) CleanUp();
    return m_bAllOk;
}

bool ScenarioSteps::MakeFolders() {
    return Step("folders " + m_strFixedDir + " and " + m_strRemovableDir, [this] {
        return ::CreateDirectoryA(m_strFixedDir.c_str(), nullptr) &&
               ::CreateDirectoryA(m_strRemovableDir.c_str(), nullptr);
    });
}

bool ScenarioSteps::NewFile() {
    const std::string strPath = m_strFixedDir + "\\notes.txt";
    return Step("new file " + strPath, [&] { return WriteTextFile(strPath, "a new file\r\n"); });
}

bool ScenarioSteps::PasteCopiedFile() {
    const std::string strSource = m_strFixedDir + "\\report.doc";
    const std::string strTarget = m_strRemovableDir + "\\report.doc";
    bool bOk = Step("document " + strSource, [&] { return WriteTextFile(strSource, "the report\r\n"); });
    bOk = Step("copy " + strSource + " (published as the copied file)",
               [&] { return PublishCopiedFiles(strSource); }) && bOk;
    bOk = Step("paste onto the removable drive: " + strTarget, [&] {
              return ::CopyFileA(strSource.c_str(), strTarget.c_str(), FALSE) != FALSE;
          }) && bOk;
    PublishCopiedFiles(std::string());
    return bOk;
}

// The word processor's save: write the new text to a temporary file, move the
// document aside, give the temporary file the document's name, drop the old one.
bool ScenarioSteps::OfficeSave() {
    const std::string strDocument = m_strFixedDir + "\\report.doc";
    const std::string strNewText = m_strFixedDir + "\\~WRD0001.tmp";
    const std::string strBackup = m_strFixedDir + "\\~WRL0002.tmp";
    bool bOk = Step("office save: write " + strNewText,
                    [&] { return WriteTextFile(strNewText, "the report, v2\r\n"); });
    bOk = Step("office save: move the document to " + strBackup,
               [&] { return MoveFileOver(strDocument, strBackup); }) && bOk;
    bOk = Step("office save: rename " + strNewText + " to the document",
               [&] { return MoveFileOver(strNewText, strDocument); }) && bOk;
    bOk = Step("office save: delete " + strBackup,
               [&] { return ::DeleteFileA(strBackup.c_str()) != FALSE; }) && bOk;
    return bOk;
}

bool ScenarioSteps::RenameFile() {
    const std::string strOld = m_strFixedDir + "\\notes.txt";
    const std::string strNew = m_strFixedDir + "\\notes-renamed.txt";
    return Step("rename " + strOld + " to notes-renamed.txt", [&] { return MoveFileOver(strOld, strNew); });
}

bool ScenarioSteps::DeleteFile() {
    const std::string strPath = m_strFixedDir + "\\notes-renamed.txt";
    return Step("delete " + strPath, [&] { return ::DeleteFileA(strPath.c_str()) != FALSE; });
}

bool ScenarioSteps::RemovableArrival() {
    const char chDrive =
        static_cast<char>(std::toupper(static_cast<unsigned char>(m_settings.strRemovableRoot[0])));
    bool bOk = Step(std::string("removable drive arrival: ") + chDrive +
                        ": (WM_DEVICECHANGE to \"FileMon\")",
                    [&] { return SendVolumeArrival(chDrive); });
    // The component attaches the arrived drive anew; give it a moment first.
    ::Sleep(1000);
    bOk = Step("new file on the arrived drive: " + m_strArrivedFile, [&] {
              return WriteTextFile(m_strArrivedFile, "written after the arrival\r\n");
          }) && bOk;
    return bOk;
}

void ScenarioSteps::CleanUp() {
    Step("clean up", [this] {
        ::DeleteFileA(m_strArrivedFile.c_str());
        ::DeleteFileA((m_strRemovableDir + "\\report.doc").c_str());
        ::RemoveDirectoryA(m_strRemovableDir.c_str());
        ::DeleteFileA((m_strFixedDir + "\\report.doc").c_str());
        ::RemoveDirectoryA(m_strFixedDir.c_str());
        return true;
    });
}

}  // namespace tern
