#include "EngineTestUtil.h"

#include <cstdint>

#include "../../TernFileMon/common/ByteString.h"

namespace terntest {

bool WriteTextFile(const std::string& strPath, const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    DWORD nWritten = 0;
    const BOOL bOk =
        ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &nWritten, nullptr);
    ::CloseHandle(hFile);
    return bOk && nWritten == strText.size();
}

bool CloseDirectoryHandleBehindTheWatch(const std::string& strDirectory) {
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        const HANDLE hCandidate = reinterpret_cast<HANDLE>(nValue);
        DWORD dwFlags = 0;
        if (!::GetHandleInformation(hCandidate, &dwFlags)) continue;
        if (::GetFileType(hCandidate) != FILE_TYPE_DISK) continue;
        char szPath[MAX_PATH * 2] = {};
        const DWORD nLength = ::GetFinalPathNameByHandleA(hCandidate, szPath, sizeof(szPath),
                                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (nLength == 0 || nLength >= sizeof(szPath)) continue;
        std::string strPath = szPath;
        if (strPath.rfind("\\\\?\\", 0) == 0) strPath = strPath.substr(4);
        if (tern::EqualsNoCase(strPath, strDirectory)) return ::CloseHandle(hCandidate) != FALSE;
    }
    return false;
}

bool RunUnixShellIn(const std::string& strDirectory, const std::string& strCommand,
                    DWORD nTimeoutMs) {
    using UnixNameFn = char*(__cdecl*)(const WCHAR*);
    const FARPROC pProc =
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    if (pProc == nullptr) return false;
    const auto pfnUnixName = reinterpret_cast<UnixNameFn>(reinterpret_cast<void (*)()>(pProc));
    const std::wstring strWide(strDirectory.begin(), strDirectory.end());
    char* pszUnix = pfnUnixName(strWide.c_str());
    if (pszUnix == nullptr) return false;
    const std::string strUnix = pszUnix;
    ::HeapFree(::GetProcessHeap(), 0, pszUnix);

    // The Unix process handle cannot be waited for: the command leaves a
    // marker file when it is done.
    const std::string strMarker = strDirectory + "\\.unix-done";
    ::DeleteFileA(strMarker.c_str());
    std::string strCommandLine = "\\\\?\\unix\\bin\\sh -c \"cd '" + strUnix + "' && " +
                                 strCommand + "; touch .unix-done\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(nullptr, &strCommandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        return false;
    }
    if (process.hThread != nullptr) ::CloseHandle(process.hThread);
    if (process.hProcess != nullptr) ::CloseHandle(process.hProcess);
    const ULONGLONG nEnd = ::GetTickCount64() + nTimeoutMs;
    while (::GetFileAttributesA(strMarker.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (::GetTickCount64() >= nEnd) return false;
        ::Sleep(20);
    }
    ::DeleteFileA(strMarker.c_str());
    return true;
}

}  // namespace terntest
