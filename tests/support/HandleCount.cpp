#include "HandleCount.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>

namespace terntest {

namespace {

unsigned CountOpenHandlesOnce() {
    unsigned nCount = 0;
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        DWORD nFlags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(nValue), &nFlags)) ++nCount;
    }
    return nCount;
}

unsigned CountThreadsOnce() {
    HANDLE hSnapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    unsigned nCount = 0;
    for (BOOL bMore = ::Thread32First(hSnapshot, &entry); bMore; bMore = ::Thread32Next(hSnapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++nCount;
    }
    ::CloseHandle(hSnapshot);
    return nCount;
}

unsigned LeastOf(unsigned (*pfnCount)(), int nSamples) {
    unsigned nLeast = pfnCount();
    for (int i = 1; i < nSamples; ++i) {
        ::Sleep(30);
        const unsigned nCount = pfnCount();
        if (nCount < nLeast) nLeast = nCount;
    }
    return nLeast;
}

}  // namespace

unsigned CountOpenHandles() { return LeastOf(CountOpenHandlesOnce, 5); }

// Threads of the component end a moment after its release (later on a busy machine).
unsigned CountThreads() { return LeastOf(CountThreadsOnce, 10); }

}  // namespace terntest
