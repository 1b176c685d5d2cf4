#include "HandleCount.h"

#include <windows.h>

#include <cstdint>

namespace terntest {

unsigned CountOpenHandles() {
    unsigned nCount = 0;
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        DWORD nFlags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(nValue), &nFlags)) ++nCount;
    }
    return nCount;
}

}  // namespace terntest
