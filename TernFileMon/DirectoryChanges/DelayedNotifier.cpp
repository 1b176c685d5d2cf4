#include "DelayedNotifier.h"

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "../common/CriticalSection.h"
#include "DelayedDirectoryChangeHandler.h"
#include "DeliveryBatch.h"
#include "Trace.h"
#include "WatchHealth.h"

namespace tern {

namespace {

// Starting and ending the shared thread or window is serialised by this lock,
// so that a notifier never posts to a thread that is still being started.
// Taken alone: nothing else is locked inside it, and no wait for a thread
// happens while it is held, except for a thread already told to end (which
// never takes it again).
// At namespace scope, not a function's static: initialising one of those
// takes a guard that, with the posix thread model, makes the thread library
// adopt the calling host thread (a thread handle and an event that stay
// behind when the library is unloaded).
CriticalSection g_csTransport;
CriticalSection& TransportLock() { return g_csTransport; }

// ---- thread transport state (under TransportLock unless atomic) ----

LONG g_nThreadUsers = 0;
UniqueHandle g_hNotificationThread;
// Read without the lock by the posting worker threads.
std::atomic<DWORD> g_dwNotificationThreadId{0};
UniqueHandle g_hQuitEvent;
// A thread told to end that nobody has waited for yet (see WaitForEnd).
UniqueHandle g_hEndingThread;
DWORD g_dwEndingThreadId = 0;

// Fences: the thread handles its messages in order, so a fence that it has
// reached means every notification posted before the fence was handled.
constexpr UINT UWM_NOTIFICATION_FENCE = UWM_DELAYED_DIRECTORY_NOTIFICATION + 1;
std::atomic<unsigned long> g_nFenceReached{0};

// What is queued for the thread, per root and generation (the number of the
// fence posted last before it), so that a drain that gives up knows what it
// gives up and says so before it returns. Notifications and fences are posted
// under g_csQueue, so queue order is generation order, and the thread takes
// each notification out of its count before delivering it; a notification
// whose count is gone was given up and is discarded unread.
// Taken alone (PostThreadMessageA does not block).
struct QueuedCount {
    unsigned long nGeneration;
    CWatchHealth* pHealth;
    std::uint64_t nCount;
};
CriticalSection g_csQueue;
std::vector<QueuedCount> g_vecQueued;
unsigned long g_nLastFence = 0;
// Signalled by the thread at each fence; lives as long as the library.
UniqueHandle g_hFenceEvent;
constexpr DWORD kFencePollMs = 50;

bool IsReached(unsigned long nReached, unsigned long nTarget) {
    return static_cast<long>(nReached - nTarget) >= 0;
}

// What the starter hands the thread; the thread owns it.
struct ThreadStart {
    UniqueHandle hQuit;     // its own handle of the quit event
    UniqueHandle hStarted;  // its own handle of the starter's event
    UniqueModule hModule;   // keeps this library loaded while the thread runs
};

// ---- window transport state ----

volatile LONG g_nWindowRefCount = 0;
std::atomic<HWND> g_hNotificationWindow{nullptr};
bool g_bWindowClassRegistered = false;

constexpr char kWindowClassName[] = "Delayed_Message_Sender";
constexpr char kWindowName[] = "DelayedWnd";

// ---- the fault reporter ----

// Taken alone; the reporter runs under it.
CriticalSection g_csReporter;
CriticalSection& ReporterLock() { return g_csReporter; }
DispatchFaultReporter g_pfnFaultReporter = nullptr;
void* g_pFaultReporterContext = nullptr;

void DispatchSafely(LPARAM lParam) {
    try {
        CDelayedDirectoryChangeHandler::DispatchNotification(
            reinterpret_cast<CChangeNotification*>(lParam));
    } catch (...) {
        ReportDispatchFault("Notification dispatch exception");
    }
}

LRESULT CALLBACK DelayedWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == UWM_DELAYED_DIRECTORY_NOTIFICATION) {
        DispatchSafely(lParam);
        return 0;
    }
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

void CreateNotificationWindow() {
    const HINSTANCE hInstance = ::GetModuleHandleA(nullptr);
    if (!g_bWindowClassRegistered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DelayedWindowProc;
        wc.hInstance = hInstance;
        wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
        wc.lpszClassName = kWindowClassName;
        g_bWindowClassRegistered = ::RegisterClassA(&wc) != 0 ||
                                   ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }
    g_hNotificationWindow = ::CreateWindowExA(0, kWindowClassName, kWindowName, 0, 0, 0, 0, 0,
                                              nullptr, nullptr, hInstance, nullptr);
    if (g_hNotificationWindow.load() == nullptr) {
        TERN_TRACE_CODE("Notification window not created", ::GetLastError());
    }
}

void DestroyNotificationWindow() {
    const HWND hWnd = g_hNotificationWindow.exchange(nullptr);
    if (hWnd == nullptr) return;
    DWORD dwProcessId = 0;
    if (::GetWindowThreadProcessId(hWnd, &dwProcessId) == ::GetCurrentThreadId()) {
        ::DestroyWindow(hWnd);
    } else {
        // Only the creating thread may destroy the window; closing it there
        // does the same through its message loop.
        ::PostMessageA(hWnd, WM_CLOSE, 0, 0);
    }
}

void FreeUndelivered(CChangeNotification* pNotification) {
    // A notification that cannot be posted is dropped whole, so that its
    // wrapper is not kept alive by it.
    NoteUndelivered(pNotification);
    CDelayedDirectoryChangeHandler::DiscardNotification(pNotification);
}

// ---- the notification thread ----

CWatchHealth* HealthOfQueued(const CChangeNotification* pNotification) {
    return pNotification->m_pDelayedHandler ? pNotification->m_pDelayedHandler->GetHealth() : nullptr;
}

// g_csQueue held.
std::vector<QueuedCount>::iterator FindQueued(unsigned long nGeneration, const CWatchHealth* pHealth) {
    return std::find_if(g_vecQueued.begin(), g_vecQueued.end(), [&](const QueuedCount& count) {
        return count.nGeneration == nGeneration && count.pHealth == pHealth;
    });
}

// Posts a chain and counts it as queued. False when it was not posted.
bool PostCounted(DWORD dwThreadId, CChangeNotification* pChain) {
    std::uint64_t nChained = 0;
    for (const CChangeNotification* p = pChain; p != nullptr; p = p->m_pNext) ++nChained;
    CWatchHealth* pHealth = HealthOfQueued(pChain);
    ScopedLock lock(g_csQueue);
    auto it = FindQueued(g_nLastFence, pHealth);
    if (it == g_vecQueued.end()) {
        try {
            it = g_vecQueued.insert(g_vecQueued.end(), QueuedCount{g_nLastFence, pHealth, 0});
        } catch (const std::bad_alloc&) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    if (!::PostThreadMessageA(dwThreadId, UWM_DELAYED_DIRECTORY_NOTIFICATION, 0,
                              reinterpret_cast<LPARAM>(pChain))) {
        const DWORD dwError = ::GetLastError();
        if (it->nCount == 0) g_vecQueued.erase(it);
        ::SetLastError(dwError);
        return false;
    }
    it->nCount += nChained;
    return true;
}

// The thread takes one notification out of its count. False when it was
// given up meanwhile (or never counted): it is not to be delivered.
bool TakeQueued(const CChangeNotification* pNotification) {
    ScopedLock lock(g_csQueue);
    const auto it = FindQueued(g_nFenceReached.load(), HealthOfQueued(pNotification));
    if (it == g_vecQueued.end() || it->nCount == 0) return false;
    if (--it->nCount == 0) g_vecQueued.erase(it);
    return true;
}

// Gives up everything queued before fence nFence: counted and reported as
// lost now, discarded by the thread when it gets to it.
void GiveUpQueuedBefore(unsigned long nFence) {
    std::vector<QueuedCount> vecGivenUp;
    {
        ScopedLock lock(g_csQueue);
        const auto itGivenUp = std::partition(
            g_vecQueued.begin(), g_vecQueued.end(),
            [nFence](const QueuedCount& count) { return IsReached(count.nGeneration, nFence); });
        try {
            vecGivenUp.assign(itGivenUp, g_vecQueued.end());
        } catch (const std::bad_alloc&) {
            TERN_TRACE("Undelivered notifications not counted: out of memory");
        }
        g_vecQueued.erase(itGivenUp, g_vecQueued.end());
    }
    for (const QueuedCount& count : vecGivenUp) {
        if (count.nCount > 0) NoteGivenUp(count.pHealth, count.nCount);
    }
}

// Delivers a chain one call at a time: a drain that gives up in the middle of
// a chain stops it after the call that is running. The chain is one batch of
// decoded reads, so it is one batch for what handlers look at once per batch.
void DeliverChain(CChangeNotification* pChain) {
    const CDeliveryBatchScope batch;
    while (pChain != nullptr) {
        CChangeNotification* pNext = std::exchange(pChain->m_pNext, nullptr);
        if (TakeQueued(pChain)) {
            DispatchSafely(reinterpret_cast<LPARAM>(pChain));
        } else {
            CDelayedDirectoryChangeHandler::DiscardNotification(pChain);
        }
        pChain = pNext;
    }
}

// A chain the thread can no longer deliver (its wait failed): lost.
void DropChain(CChangeNotification* pChain) {
    for (CChangeNotification* p = pChain; p != nullptr; p = p->m_pNext) {
        if (TakeQueued(p)) NoteGivenUp(HealthOfQueued(p), 1);
    }
    CDelayedDirectoryChangeHandler::DiscardNotification(pChain);
}

void HandleThreadMessage(const MSG& msg) {
    if (msg.message == UWM_DELAYED_DIRECTORY_NOTIFICATION) {
        DeliverChain(reinterpret_cast<CChangeNotification*>(msg.lParam));
    } else if (msg.message == UWM_NOTIFICATION_FENCE) {
        g_nFenceReached = static_cast<unsigned long>(msg.wParam);
        ::SetEvent(g_hFenceEvent.Get());
    }
}

// Delivers until the quit event is set; a quit leaves nothing undelivered,
// since every queued notification keeps a notifier (and so the thread) alive.
void RunNotificationLoop(ThreadStart& start) {
    MSG msg;
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here on
    ::SetEvent(start.hStarted.Get());
    start.hStarted.Reset();
    const HANDLE hQuit = start.hQuit.Get();
    for (;;) {
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) HandleThreadMessage(msg);
        // The thread's idle wait for work, not a wait of any ending: it has no
        // bound, and ends when the quit event is set (or a post arrives).
        const DWORD dwWait =
            ::MsgWaitForMultipleObjectsEx(1, &hQuit, INFINITE, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE);
        if (dwWait == WAIT_OBJECT_0) break;
        if (dwWait == WAIT_OBJECT_0 + 1) continue;
        // Without a working wait the thread cannot go on; what is posted to it
        // from now on is discarded by the posters.
        TERN_TRACE_CODE("Notification thread wait failed", ::GetLastError());
        break;
    }
    // Fences still queued are answered; a notification (only after a failed
    // wait) is freed unread and counted as lost.
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == UWM_DELAYED_DIRECTORY_NOTIFICATION) {
            DropChain(reinterpret_cast<CChangeNotification*>(msg.lParam));
        } else {
            HandleThreadMessage(msg);
        }
    }
}

// Keeps the handle of a thread told to end, for WaitForEnd. TransportLock held.
void KeepEndingThread(UniqueHandle hThread, DWORD dwThreadId) {
    // An older one is let go: it holds its own module reference, so closing
    // its handle without waiting is safe.
    g_hEndingThread = std::move(hThread);
    g_dwEndingThreadId = dwThreadId;
}

// Starts the thread; TransportLock held. False (with a trace line) when it
// cannot: notifications are then discarded until a later notifier retries.
bool StartNotificationThread() {
    std::unique_ptr<ThreadStart> pStart(new (std::nothrow) ThreadStart());
    UniqueHandle hQuit(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle hStarted(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!g_hFenceEvent) g_hFenceEvent.Reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (pStart == nullptr || !hQuit || !hStarted || !g_hFenceEvent) {
        TERN_TRACE_CODE("Notification thread events not created", ::GetLastError());
        return false;
    }
    const HANDLE hProcess = ::GetCurrentProcess();
    if (!::DuplicateHandle(hProcess, hQuit.Get(), hProcess, pStart->hQuit.Put(), 0, FALSE,
                           DUPLICATE_SAME_ACCESS) ||
        !::DuplicateHandle(hProcess, hStarted.Get(), hProcess, pStart->hStarted.Put(), 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        TERN_TRACE_CODE("Notification thread events not created", ::GetLastError());
        return false;
    }
    pStart->hModule = ReferenceModuleContaining(&g_nThreadUsers);
    unsigned nThreadId = 0;
    const uintptr_t nThread = _beginthreadex(nullptr, 0, &CDelayedNotificationThread::ThreadProc,
                                             pStart.get(), 0, &nThreadId);
    if (nThread == 0) {
        TERN_TRACE_CODE("Notification thread not started", ::GetLastError());
        return false;
    }
    pStart.release();  // the thread's now
    g_hNotificationThread.Reset(reinterpret_cast<HANDLE>(nThread));
    g_dwNotificationThreadId = nThreadId;
    g_hQuitEvent = std::move(hQuit);
    // Posts fail until the thread has its queue; a start that is not
    // confirmed in time loses the notifications posted before that.
    if (::WaitForSingleObject(hStarted.Get(), CDelayedNotificationThread::kThreadEndWaitMs) !=
        WAIT_OBJECT_0) {
        TERN_TRACE("Notification thread start not confirmed");
    }
    return true;
}

}  // namespace

// ---- window transport ----

CDelayedNotificationWindow::CDelayedNotificationWindow() {
    ScopedLock lock(TransportLock());
    const LONG nCount = ::InterlockedIncrement(&g_nWindowRefCount);
    const HWND hWnd = g_hNotificationWindow.load();
    if (nCount == 1 || hWnd == nullptr || !::IsWindow(hWnd)) {
        CreateNotificationWindow();
    }
}

CDelayedNotificationWindow::~CDelayedNotificationWindow() {
    ScopedLock lock(TransportLock());
    if (::InterlockedDecrement(&g_nWindowRefCount) == 0) DestroyNotificationWindow();
}

void CDelayedNotificationWindow::PostNotification(CChangeNotification* pNotification) {
    if (pNotification == nullptr) return;
    const HWND hWnd = g_hNotificationWindow.load();
    if (hWnd == nullptr || !::IsWindow(hWnd) ||
        !::PostMessageA(hWnd, UWM_DELAYED_DIRECTORY_NOTIFICATION, 0,
                        reinterpret_cast<LPARAM>(pNotification))) {
        FreeUndelivered(pNotification);
    }
}

HWND CDelayedNotificationWindow::WindowHandle() { return g_hNotificationWindow.load(); }

// ---- thread transport ----

CDelayedNotificationThread::CDelayedNotificationThread() {
    ScopedLock lock(TransportLock());
    ++g_nThreadUsers;
    if (g_hNotificationThread) return;
    // A thread still ending from an earlier use is waited for first, so that
    // at most one notification thread delivers at a time.
    if (g_hEndingThread && g_dwEndingThreadId != ::GetCurrentThreadId()) {
        if (::WaitForSingleObject(g_hEndingThread.Get(), kThreadEndWaitMs) != WAIT_OBJECT_0) {
            TERN_TRACE("Notification thread did not end in time");
        }
        g_hEndingThread.Reset();
        g_dwEndingThreadId = 0;
    }
    StartNotificationThread();
}

CDelayedNotificationThread::~CDelayedNotificationThread() {
    UniqueHandle hThread;
    DWORD dwThreadId = 0;
    {
        ScopedLock lock(TransportLock());
        if (--g_nThreadUsers > 0) return;
        g_nThreadUsers = 0;
        if (!g_hNotificationThread) return;
        if (!::SetEvent(g_hQuitEvent.Get())) {
            // The thread cannot be told to end: it stays, idle, and keeps the
            // library loaded; nothing is posted to it any more.
            TERN_TRACE_CODE("Notification thread quit not signalled", ::GetLastError());
        }
        g_hQuitEvent.Reset();
        dwThreadId = g_dwNotificationThreadId.exchange(0);
        hThread = std::move(g_hNotificationThread);
        if (dwThreadId == ::GetCurrentThreadId()) {
            // The last wrapper went on the thread's own dispatch: it ends as
            // soon as that dispatch returns.
            KeepEndingThread(std::move(hThread), dwThreadId);
            return;
        }
    }
    if (::WaitForSingleObject(hThread.Get(), kThreadEndWaitMs) == WAIT_OBJECT_0) return;
    TERN_TRACE("Notification thread did not end in time");
    ScopedLock lock(TransportLock());
    KeepEndingThread(std::move(hThread), dwThreadId);
}

void CDelayedNotificationThread::PostNotification(CChangeNotification* pNotification) {
    if (pNotification == nullptr) return;
    const DWORD dwThreadId = g_dwNotificationThreadId.load();
    if (ConsumeInjectedPostFailure() || dwThreadId == 0 || !PostCounted(dwThreadId, pNotification)) {
        TERN_TRACE_CODE("PostThreadMessage Fail", ::GetLastError());
        FreeUndelivered(pNotification);
    }
}

DWORD CDelayedNotificationThread::ThreadId() { return g_dwNotificationThreadId.load(); }

bool CDelayedNotificationThread::Flush(DWORD dwTimeoutMs) {
    const DWORD dwThreadId = g_dwNotificationThreadId.load();
    if (dwThreadId == 0) return true;
    unsigned long nFence = 0;
    {
        ScopedLock lock(g_csQueue);
        nFence = g_nLastFence + 1;
        if (!::PostThreadMessageA(dwThreadId, UWM_NOTIFICATION_FENCE, nFence, 0)) {
            TERN_TRACE_CODE("PostThreadMessage Fail", ::GetLastError());
            return ThreadId() == 0;
        }
        g_nLastFence = nFence;
    }
    if (dwThreadId == ::GetCurrentThreadId()) {
        GiveUpQueuedBefore(nFence);
        return false;
    }
    const DWORD dwStart = ::GetTickCount();
    while (!IsReached(g_nFenceReached.load(), nFence)) {
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs) {
            TERN_TRACE("Notifications not delivered in time, the rest is discarded");
            GiveUpQueuedBefore(nFence);
            return false;
        }
        const DWORD dwLeft = dwTimeoutMs - dwElapsed;
        ::WaitForSingleObject(g_hFenceEvent.Get(), dwLeft < kFencePollMs ? dwLeft : kFencePollMs);
    }
    return true;
}

bool CDelayedNotificationThread::WaitForEnd(DWORD dwTimeoutMs) {
    UniqueHandle hThread;
    {
        ScopedLock lock(TransportLock());
        if (!g_hEndingThread) return true;
        if (g_dwEndingThreadId == ::GetCurrentThreadId()) return false;
        hThread = std::move(g_hEndingThread);
        g_dwEndingThreadId = 0;
    }
    if (::WaitForSingleObject(hThread.Get(), dwTimeoutMs) == WAIT_OBJECT_0) return true;
    TERN_TRACE("Notification thread did not end in time");
    return false;
}

unsigned __stdcall CDelayedNotificationThread::ThreadProc(void* pParam) {
    ThreadStart* pStart = static_cast<ThreadStart*>(pParam);
    const HMODULE hModule = pStart->hModule.Release();
    try {
        RunNotificationLoop(*pStart);
    } catch (...) {
        TERN_TRACE("Notification thread exception");
    }
    delete pStart;
    if (hModule != nullptr) ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

// ---- fault reporting ----

void SetDispatchFaultReporter(DispatchFaultReporter pfnReporter, void* pContext) {
    ScopedLock lock(ReporterLock());
    g_pfnFaultReporter = pfnReporter;
    g_pFaultReporterContext = pContext;
}

void ClearDispatchFaultReporter(void* pContext) {
    ScopedLock lock(ReporterLock());
    if (g_pFaultReporterContext != pContext) return;
    g_pfnFaultReporter = nullptr;
    g_pFaultReporterContext = nullptr;
}

void ReportDispatchFault(const char* pszText) {
    TERN_TRACE(pszText);
    ScopedLock lock(ReporterLock());
    if (g_pfnFaultReporter != nullptr) g_pfnFaultReporter(pszText, g_pFaultReporterContext);
}

}  // namespace tern
