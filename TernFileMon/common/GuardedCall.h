// Runs a function inside a frame that keeps a structured exception (an access
// violation in a host callback, say) from ending the thread: the caller gets
// the exception's code back and carries on with its next piece of work.
#ifndef TERNFILEMON_COMMON_GUARDEDCALL_H
#define TERNFILEMON_COMMON_GUARDEDCALL_H

#include <windows.h>

namespace tern {

// True for the structured exceptions a guarded call stops: failures (severity
// "error"), except C++ exceptions of either toolchain, which pass on to the
// caller's catch, and a stack overflow, after which the thread has no guard
// page left to go on with.
bool IsStoppedException(DWORD dwCode);

// Calls pfn(pContext). Returns 0 when it returned, or the code of the
// structured exception that ended it. The guard is the outermost frame around
// the call: handlers inside pfn (the host's own __try or catch) see every
// exception first, so only what nobody inside handled is stopped here. The
// frames between the fault and the guard are abandoned: with g++ their C++
// clean-ups do not run (what they held stays held), so a guarded function
// holds no lock that another thread needs while it calls out. pfn must not
// let a C++ exception out: the 32-bit g++ build does not unwind one through
// the guard.
DWORD CallGuarded(void (*pfn)(void*), void* pContext);

}  // namespace tern

#endif
