#include "DelayedNotifier.h"

#include <process.h>

#include <atomic>

#include "../common/CriticalSection.h"
#include "DelayedDirectoryChangeHandler.h"
#include "WatchHealth.h"

namespace tern {

namespace {

// Process-wide state of the two transports. The counts change with
// interlocked operations; starting and ending the shared thread or window is
// serialised by one lock so that a notifier never posts to a thread that is
// still being started. Taken alone.
CriticalSection& TransportLock() {
    static CriticalSection s_cs;
    return s_cs;
}

volatile LONG g_nThreadRefCount = 0;
HANDLE g_hNotificationThread = nullptr;
// Read without the lock by the posting worker threads.
std::atomic<DWORD> g_dwNotificationThreadId{0};
// A thread told to quit from its own dispatch (its last wrapper died there):
// it could not wait for itself, so the next start waits for and closes it.
HANDLE g_hEndingThread = nullptr;

volatile LONG g_nWindowRefCount = 0;
std::atomic<HWND> g_hNotificationWindow{nullptr};
bool g_bWindowClassRegistered = false;

constexpr char kWindowClassName[] = "Delayed_Message_Sender";
constexpr char kWindowName[] = "DelayedWnd";

void DispatchSafely(LPARAM lParam) {
    try {
        CDelayedDirectoryChangeHandler::DispatchNotification(
            reinterpret_cast<CChangeNotification*>(lParam));
    } catch (...) {
        // One failing notification must not end the delivery of the others.
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

CDelayedNotificationThread::CDelayedNotificationThread()
    : m_hThreadStarted(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    ScopedLock lock(TransportLock());
    if (::InterlockedIncrement(&g_nThreadRefCount) != 1) return;
    if (g_hEndingThread != nullptr) {
        ::WaitForSingleObject(g_hEndingThread, INFINITE);
        ::CloseHandle(g_hEndingThread);
        g_hEndingThread = nullptr;
    }
    unsigned nThreadId = 0;
    const uintptr_t nThread = _beginthreadex(nullptr, 0, &CDelayedNotificationThread::ThreadProc,
                                             this, 0, &nThreadId);
    if (nThread == 0) return;
    g_hNotificationThread = reinterpret_cast<HANDLE>(nThread);
    g_dwNotificationThreadId = nThreadId;
    if (m_hThreadStarted) ::WaitForSingleObject(m_hThreadStarted.Get(), INFINITE);
}

CDelayedNotificationThread::~CDelayedNotificationThread() {
    ScopedLock lock(TransportLock());
    if (::InterlockedDecrement(&g_nThreadRefCount) >= 1) return;
    ::InterlockedExchange(&g_nThreadRefCount, 0);
    if (g_hNotificationThread == nullptr) return;
    const DWORD dwThreadId = g_dwNotificationThreadId.load();
    ::PostThreadMessageA(dwThreadId, WM_QUIT, 0, 0);
    if (::GetCurrentThreadId() == dwThreadId) {
        g_hEndingThread = g_hNotificationThread;
    } else {
        ::WaitForSingleObject(g_hNotificationThread, INFINITE);
        ::CloseHandle(g_hNotificationThread);
    }
    g_hNotificationThread = nullptr;
    g_dwNotificationThreadId = 0;
}

void CDelayedNotificationThread::PostNotification(CChangeNotification* pNotification) {
    if (pNotification == nullptr) return;
    if (ConsumeInjectedPostFailure() ||
        !::PostThreadMessageA(g_dwNotificationThreadId.load(), UWM_DELAYED_DIRECTORY_NOTIFICATION, 0,
                              reinterpret_cast<LPARAM>(pNotification))) {
        FreeUndelivered(pNotification);
    }
}

DWORD CDelayedNotificationThread::ThreadId() { return g_dwNotificationThreadId.load(); }

unsigned __stdcall CDelayedNotificationThread::ThreadProc(void* pParam) {
    // The queue must exist before the starter may post to it.
    ::PostThreadMessageA(::GetCurrentThreadId(), WM_NULL, 0, 0);
    MSG msg;
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ::SetEvent(static_cast<CDelayedNotificationThread*>(pParam)->m_hThreadStarted.Get());

    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == UWM_DELAYED_DIRECTORY_NOTIFICATION) DispatchSafely(msg.lParam);
    }
    return 0;
}

}  // namespace tern
