#include "SystemUtil.h"

#include <tlhelp32.h>

#include <vector>

#include "../common/Win32Handles.h"

namespace tern {

namespace {

constexpr DWORD kTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;

DWORD SessionOfProcess(DWORD dwProcessId) {
    DWORD dwSessionId = 0;
    if (!::ProcessIdToSessionId(dwProcessId, &dwSessionId)) return 0;
    return dwSessionId;
}

// The token of one process, or an empty owner when it cannot be opened.
UniqueHandle OpenTokenOfProcess(DWORD dwProcessId) {
    UniqueHandle hProcess(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, dwProcessId));
    if (!hProcess) hProcess.Reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId));
    if (!hProcess) return UniqueHandle();
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(hProcess.Get(), kTokenAccess, &hToken)) return UniqueHandle();
    return UniqueHandle(hToken);
}

// With the thread impersonating, HKEY_CURRENT_USER of the process still names
// the process's own user: the impersonated user's hive is opened explicitly.
UniqueRegKey OpenRoot(HKEY hRoot, REGSAM samDesired) {
    if (hRoot == HKEY_CURRENT_USER) {
        HKEY hUser = nullptr;
        if (::RegOpenCurrentUser(samDesired, &hUser) == ERROR_SUCCESS) return UniqueRegKey(hUser);
    }
    return UniqueRegKey();
}

REGSAM ViewFlag(int nView) {
    if (nView == REG_VIEW_64) return KEY_WOW64_64KEY;
    if (nView == REG_VIEW_32) return KEY_WOW64_32KEY;
    return 0;
}

}  // namespace

DWORD GetTokenByName(const ByteString& strProcessName, HANDLE& hToken, DWORD& dwSessionId) {
    hToken = nullptr;
    dwSessionId = 0;
    if (strProcessName.empty()) return UtilError(ERROR_INVALID_PARAMETER);
    UniqueHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot) return UtilError(::GetLastError());

    const DWORD dwConsoleSession = ::WTSGetActiveConsoleSessionId();
    UniqueHandle hChosen;
    DWORD dwChosenSession = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = ::Process32First(hSnapshot.Get(), &entry); bMore;
         bMore = ::Process32Next(hSnapshot.Get(), &entry)) {
        if (!EqualsNoCase(entry.szExeFile, strProcessName)) continue;
        const DWORD dwSession = SessionOfProcess(entry.th32ProcessID);
        if (hChosen && dwSession != dwConsoleSession) continue;
        UniqueHandle hCandidate = OpenTokenOfProcess(entry.th32ProcessID);
        if (!hCandidate) continue;
        hChosen = std::move(hCandidate);
        dwChosenSession = dwSession;
        if (dwSession == dwConsoleSession) break;
    }
    if (!hChosen) return UtilError(ERROR_NOT_FOUND);
    hToken = hChosen.Release();
    dwSessionId = dwChosenSession;
    return UTIL_OK;
}

DWORD QueryRegKeyValue(HKEY hRoot, const ByteString& strSubKey, const ByteString& strValueName,
                       DWORD& dwSize, ByteString& strValue, int nView) {
    strValue.clear();
    const REGSAM samDesired = KEY_QUERY_VALUE | ViewFlag(nView);
    UniqueRegKey hUserRoot = OpenRoot(hRoot, samDesired);
    HKEY hKey = nullptr;
    LONG nError = ::RegOpenKeyExA(hUserRoot ? hUserRoot.Get() : hRoot, strSubKey.c_str(), 0,
                                  samDesired, &hKey);
    if (nError != ERROR_SUCCESS) return UtilError(static_cast<DWORD>(nError));
    UniqueRegKey key(hKey);

    DWORD dwType = 0;
    DWORD dwNeeded = 0;
    nError = ::RegQueryValueExA(key.Get(), strValueName.c_str(), nullptr, &dwType, nullptr, &dwNeeded);
    if (nError != ERROR_SUCCESS) return UtilError(static_cast<DWORD>(nError));
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) return UtilError(ERROR_INVALID_DATATYPE);
    if (dwNeeded > dwSize) {
        dwSize = dwNeeded;
        return UtilError(ERROR_MORE_DATA);
    }
    // One spare zero: a stored string need not end with one.
    std::vector<char> buffer(static_cast<size_t>(dwNeeded) + 1, '\0');
    DWORD dwRead = dwNeeded;
    nError = ::RegQueryValueExA(key.Get(), strValueName.c_str(), nullptr, &dwType,
                                reinterpret_cast<BYTE*>(buffer.data()), &dwRead);
    if (nError != ERROR_SUCCESS) return UtilError(static_cast<DWORD>(nError));
    dwSize = dwRead;
    strValue.assign(buffer.data());
    return UTIL_OK;
}

}  // namespace tern
