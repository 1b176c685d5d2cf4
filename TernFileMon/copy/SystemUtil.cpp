#include "SystemUtil.h"

#include <winternl.h>

#include <algorithm>
#include <new>
#include <vector>

#include "../common/Win32Handles.h"

namespace tern {

namespace {

constexpr DWORD kTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;

using PFN_NtQuerySystemInformation = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
// A list longer than this (tens of thousands of processes) is refused.
constexpr ULONG kMaxProcessListBytes = 64u << 20;

// The system's processes in one query. A toolhelp snapshot makes the same
// query, then copies the list into a section that each Process32Next maps
// and unmaps: 5 to 7 ms under Wine against 1 ms here, and wineserver serves
// every other thread more slowly meanwhile. Empty, with the last error set,
// when it cannot be had.
std::vector<ULONGLONG> QueryProcessList() {
    const auto pfnQuery = reinterpret_cast<PFN_NtQuerySystemInformation>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (pfnQuery == nullptr) return {};
    std::vector<ULONGLONG> list;  // 8-byte aligned, as the entries need
    ULONGLONG nBytes = 64u << 10;
    while (nBytes <= kMaxProcessListBytes) {
        try {
            list.assign(static_cast<size_t>(nBytes / sizeof(ULONGLONG)), 0);
        } catch (const std::bad_alloc&) {
            break;
        }
        ULONG nNeeded = 0;
        const NTSTATUS nStatus =
            pfnQuery(SystemProcessInformation, list.data(), static_cast<ULONG>(nBytes), &nNeeded);
        if (nStatus == 0) return list;
        if (nStatus != kStatusInfoLengthMismatch) {
            ::SetLastError(ERROR_GEN_FAILURE);
            return {};
        }
        // The size asked for, with room for processes that start before the
        // next query; at least twice the last try, so the loop ends.
        nBytes = std::max<ULONGLONG>(2 * nBytes, nNeeded + nNeeded / 8ull);
    }
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return {};
}

const SYSTEM_PROCESS_INFORMATION* FirstProcess(const std::vector<ULONGLONG>& list) {
    return reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data());
}

// The entry after pProcess, or null at the end of the list.
const SYSTEM_PROCESS_INFORMATION* NextProcess(const std::vector<ULONGLONG>& list,
                                              const SYSTEM_PROCESS_INFORMATION* pProcess) {
    const BYTE* pStart = reinterpret_cast<const BYTE*>(list.data());
    const size_t nNext = static_cast<size_t>(reinterpret_cast<const BYTE*>(pProcess) - pStart) +
                         pProcess->NextEntryOffset;
    const size_t nSize = list.size() * sizeof(ULONGLONG);
    if (pProcess->NextEntryOffset == 0 || nNext + sizeof(SYSTEM_PROCESS_INFORMATION) > nSize) return nullptr;
    return reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(pStart + nNext);
}

// The image name of a listed process in the ANSI code page, as a toolhelp
// snapshot gives it.
ByteString ImageNameOf(const SYSTEM_PROCESS_INFORMATION& process) {
    const int nChars = static_cast<int>(process.ImageName.Length / sizeof(WCHAR));
    if (nChars == 0 || process.ImageName.Buffer == nullptr) return ByteString();
    char szName[MAX_PATH] = {};
    const int nBytes = ::WideCharToMultiByte(CP_ACP, 0, process.ImageName.Buffer, nChars, szName,
                                             sizeof(szName) - 1, nullptr, nullptr);
    return ByteString(szName, nBytes > 0 ? static_cast<size_t>(nBytes) : 0);
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
    const std::vector<ULONGLONG> list = QueryProcessList();
    if (list.empty()) return UtilError(::GetLastError());

    const DWORD dwConsoleSession = ::WTSGetActiveConsoleSessionId();
    UniqueHandle hChosen;
    DWORD dwChosenSession = 0;
    for (const SYSTEM_PROCESS_INFORMATION* pProcess = FirstProcess(list); pProcess != nullptr;
         pProcess = NextProcess(list, pProcess)) {
        if (!EqualsNoCase(ImageNameOf(*pProcess), strProcessName)) continue;
        const DWORD dwSession = pProcess->SessionId;
        if (hChosen && dwSession != dwConsoleSession) continue;
        const auto dwProcessId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pProcess->UniqueProcessId));
        UniqueHandle hCandidate = OpenTokenOfProcess(dwProcessId);
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
