// Bounded polling: how a test waits for what another thread does.
#ifndef TERNFILEMON_TESTS_WAITUNTIL_H
#define TERNFILEMON_TESTS_WAITUNTIL_H

#include <windows.h>

namespace terntest {

// Polls the condition every 10 ms for up to nTimeoutMs and returns its last
// value. What the component lets go of (references, threads, queued calls) it
// lets go of a moment after the call that ends it, later on a busy machine.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD nTimeoutMs = 3000) {
    for (const ULONGLONG nEnd = ::GetTickCount64() + nTimeoutMs; !condition(); ::Sleep(10)) {
        if (::GetTickCount64() >= nEnd) return condition();
    }
    return true;
}

}  // namespace terntest

#endif
