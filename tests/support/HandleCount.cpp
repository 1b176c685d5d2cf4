#include "HandleCount.h"

#include <windows.h>

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

}  // namespace

unsigned CountOpenHandles() {
    unsigned nLeast = CountOpenHandlesOnce();
    for (int i = 0; i < 4; ++i) {
        ::Sleep(20);
        const unsigned nCount = CountOpenHandlesOnce();
        if (nCount < nLeast) nLeast = nCount;
    }
    return nLeast;
}

}  // namespace terntest
