#include "LibraryThread.h"

#include <process.h>

#include <memory>
#include <new>

namespace tern {

namespace {

// What the starter hands the thread; the thread owns it.
struct ThreadStart {
    CLibraryThread::RunFunction pfnRun;
    void* pContext;
    UniqueModule hModule;  // keeps this library loaded while the thread runs
};

// An object of this library, for the threads' references to it.
const char g_nModuleAnchor = 0;

unsigned __stdcall ThreadProc(void* pParam) {
    ThreadStart* pStart = static_cast<ThreadStart*>(pParam);
    const CLibraryThread::RunFunction pfnRun = pStart->pfnRun;
    void* const pContext = pStart->pContext;
    const HMODULE hModule = pStart->hModule.Release();
    delete pStart;
    pfnRun(pContext);
    if (hModule != nullptr) ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

}  // namespace

void CLibraryThread::AddUser() {
    ++m_nUsers;
    m_bEnding = false;
}

bool CLibraryThread::RemoveUser() {
    if (m_nUsers > 0) --m_nUsers;
    if (m_nUsers > 0) return false;
    m_bEnding = true;
    return true;
}

bool CLibraryThread::Start(RunFunction pfnRun, void* pContext) {
    std::unique_ptr<ThreadStart> pStart(
        new (std::nothrow) ThreadStart{pfnRun, pContext, ReferenceModuleContaining(&g_nModuleAnchor)});
    if (pStart == nullptr) return false;
    const uintptr_t nThread = _beginthreadex(nullptr, 0, &ThreadProc, pStart.get(), 0, nullptr);
    if (nThread == 0) return false;
    pStart.release();  // the thread's now
    // An older thread's handle (one whose end nobody saw) is let go here.
    m_hThread.Reset(reinterpret_cast<HANDLE>(nThread));
    ++m_nGeneration;
    m_bEnding = false;
    return true;
}

bool CLibraryThread::TakeWaitCopy(UniqueHandle& hWait, unsigned long& nGeneration) const {
    if (!m_hThread) return false;
    const HANDLE hProcess = ::GetCurrentProcess();
    if (!::DuplicateHandle(hProcess, m_hThread.Get(), hProcess, hWait.Put(), SYNCHRONIZE, FALSE, 0)) {
        return false;
    }
    nGeneration = m_nGeneration;
    return true;
}

bool CLibraryThread::WaitForEnd(const UniqueHandle& hWait, unsigned long nGeneration, DWORD dwTimeoutMs,
                                CriticalSection& csOwner) {
    if (::WaitForSingleObject(hWait.Get(), dwTimeoutMs) != WAIT_OBJECT_0) return false;
    ScopedLock lock(csOwner);
    if (m_nGeneration == nGeneration) m_hThread.Reset();
    return true;
}

bool CLibraryThread::Join(DWORD dwTimeoutMs) {
    if (!m_hThread) return true;
    if (::WaitForSingleObject(m_hThread.Get(), dwTimeoutMs) != WAIT_OBJECT_0) return false;
    m_hThread.Reset();
    return true;
}

}  // namespace tern
