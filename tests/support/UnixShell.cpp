#include "UnixShell.h"

#include <windows.h>

namespace terntest {

bool RunUnixShellIn(const std::string& strDirectory, const std::string& strCommand,
                    unsigned long nTimeoutMs) {
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

    const std::string strMarkerName = ".unix-done-" + std::to_string(::GetCurrentProcessId());
    const std::string strMarker = strDirectory + "\\..\\" + strMarkerName;
    ::DeleteFileA(strMarker.c_str());
    std::string strCommandLine = "\\\\?\\unix\\bin\\sh -c \"cd '" + strUnix + "' && " +
                                 strCommand + "; touch ../" + strMarkerName + "\"";
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
