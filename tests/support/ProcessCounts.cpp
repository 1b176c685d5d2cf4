#include "ProcessCounts.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../../TernFileMon/common/Win32Handles.h"

namespace terntest {

unsigned long LeastOf(unsigned long (*pfnCount)(), int nSamples) {
    unsigned long nLeast = pfnCount();
    for (int i = 1; i < nSamples; ++i) {
        ::Sleep(30);
        nLeast = std::min(nLeast, pfnCount());
    }
    return nLeast;
}

// GetProcessHandleCount reports 0 under Wine: the handle values are probed.
unsigned long OpenHandles() {
    unsigned long nCount = 0;
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        DWORD nFlags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(nValue), &nFlags)) ++nCount;
    }
    return nCount;
}

unsigned long Threads() {
    tern::UniqueHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    unsigned long nCount = 0;
    for (BOOL bMore = ::Thread32First(hSnapshot.Get(), &entry); bMore; bMore = ::Thread32Next(hSnapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++nCount;
    }
    return nCount;
}

// Wine reports no private memory through GetProcessMemoryInfo.
unsigned long RssAnonKb() {
    tern::UniqueHandle hFile(::CreateFileA("\\\\?\\unix\\proc\\self\\status", GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    char szText[8192] = {};
    DWORD nRead = 0;
    if (!hFile || !::ReadFile(hFile.Get(), szText, sizeof(szText) - 1, &nRead, nullptr)) return 0;
    const char* pszField = std::strstr(szText, "RssAnon:");
    return pszField != nullptr ? std::strtoul(pszField + 8, nullptr, 10) : 0;
}

}  // namespace terntest
