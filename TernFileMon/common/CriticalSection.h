// A critical section, the scoped lock that is the only way to hold it, and a
// condition variable to wait on while holding it.
#ifndef TERNFILEMON_COMMON_CRITICALSECTION_H
#define TERNFILEMON_COMMON_CRITICALSECTION_H

#include <windows.h>

namespace tern {

class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() noexcept { ::EnterCriticalSection(&m_cs); }
    void Unlock() noexcept { ::LeaveCriticalSection(&m_cs); }

private:
    friend class ConditionVariable;
    CRITICAL_SECTION m_cs;
};

class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& cs) noexcept : m_cs(cs) { m_cs.Lock(); }
    ~ScopedLock() { m_cs.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& m_cs;
};

// Needs no handle and no clean-up: nothing of it outlives the object.
class ConditionVariable {
public:
    ConditionVariable() noexcept { ::InitializeConditionVariable(&m_cv); }
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    // Releases cs (held through a ScopedLock by the caller), waits for a wake
    // or dwTimeoutMs, and holds cs again. False when the time ran out.
    bool Wait(CriticalSection& cs, DWORD dwTimeoutMs) noexcept {
        return ::SleepConditionVariableCS(&m_cv, &cs.m_cs, dwTimeoutMs) != FALSE;
    }
    void WakeOne() noexcept { ::WakeConditionVariable(&m_cv); }
    void WakeAll() noexcept { ::WakeAllConditionVariable(&m_cv); }

private:
    CONDITION_VARIABLE m_cv;
};

}  // namespace tern

#endif
