// A thread of this library that serves an object while the object has users
// (the debugger-output writer, the user-temp retry). It holds a reference to
// the library, so that a FreeLibrary right after the last Release cannot
// unmap the code it runs, and leaves through FreeLibraryAndExitThread. The
// object's last user ends it and waits for it, bounded: a thread that
// outlives the wait finishes by itself, still holding its reference.
//
// Not locked itself: every call is made under the owner's lock, except
// WaitForEnd, which waits on the copy that TakeWaitCopy made and takes that
// lock only afterwards. Failures are returned,
// not written: the debugger-output writer is one of the owners.
#ifndef TERNFILEMON_COMMON_LIBRARYTHREAD_H
#define TERNFILEMON_COMMON_LIBRARYTHREAD_H

#include <windows.h>

#include "CriticalSection.h"
#include "Win32Handles.h"

namespace tern {

class CLibraryThread {
public:
    // The thread's body. It must not throw: it catches what it can meet.
    typedef void (*RunFunction)(void* pContext);

    // The owner's users (component objects). A new user takes over a thread
    // still ending; the last one to go tells the thread to end.
    void AddUser();
    // True when that was the last user: IsEnding() from then on.
    bool RemoveUser();
    bool HasUsers() const { return m_nUsers > 0; }
    // The thread is to end (its body leaves once its work is done).
    bool IsEnding() const { return m_bEnding; }

    // Starts pfnRun(pContext) on a new thread; false when it cannot.
    bool Start(RunFunction pfnRun, void* pContext);

    // A handle to wait on for the newest thread's end, and which thread that
    // is. False when there is no thread (hWait stays empty) or no copy could
    // be made (GetLastError says why).
    bool TakeWaitCopy(UniqueHandle& hWait, unsigned long& nGeneration) const;
    bool HasThread() const { return static_cast<bool>(m_hThread); }
    // Waits at most dwTimeoutMs for the end of the copy's thread; when it has
    // ended, its handle is let go (under csOwner) unless a newer thread has
    // started meanwhile. False when the bound ran out.
    bool WaitForEnd(const UniqueHandle& hWait, unsigned long nGeneration, DWORD dwTimeoutMs,
                    CriticalSection& csOwner);

    // For an owner that starts and ends the thread on one thread of its own:
    // waits at most dwTimeoutMs for the thread's end and then lets go of its
    // handle. False when the bound ran out.
    bool Join(DWORD dwTimeoutMs);

private:
    UniqueHandle m_hThread;  // the newest thread, until a wait saw it end
    unsigned long m_nGeneration = 0;  // threads started so far
    int m_nUsers = 0;
    bool m_bEnding = false;
};

// A component object's use, for the object's life, of a library-wide service
// that serves its users with a CLibraryThread: pfnBegin when the object is
// made, pfnEnd (the last one ends the service's thread) when it goes.
template <void (*pfnBegin)(), bool (*pfnEnd)()>
class CLibraryServiceUse {
public:
    CLibraryServiceUse() { pfnBegin(); }
    ~CLibraryServiceUse() { pfnEnd(); }
    CLibraryServiceUse(const CLibraryServiceUse&) = delete;
    CLibraryServiceUse& operator=(const CLibraryServiceUse&) = delete;
};

}  // namespace tern

#endif
