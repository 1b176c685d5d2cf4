// The hidden window "FileMon" and the thread that owns it.
#include <exception>

#include "FileMonitor.h"

namespace tern {

CFileMonitor* g_pWndMonitor = nullptr;

namespace {

constexpr char kWindowClassName[] = "FileMonWindowClass";
constexpr char kWindowTitle[] = "FileMon";
// How long the thread that starts the window thread waits for the window.
constexpr DWORD kWindowReadyWaitMs = 5000;
constexpr DWORD kWindowThreadPollMs = 20;

}  // namespace

ATOM CFileMonitor::RegisterWindowClass(HINSTANCE hInstance) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = FileMonWndProc;
    wc.hInstance = hInstance;
    wc.hIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = kWindowTitle;
    wc.lpszClassName = kWindowClassName;
    wc.hIconSm = ::LoadIconA(hInstance, MAKEINTRESOURCEA(32513));
    return ::RegisterClassExA(&wc);
}

void CFileMonitor::UnregisterWindowClass(HINSTANCE hInstance) {
    ::UnregisterClassA(kWindowClassName, hInstance);
}

// The thread holds a reference to the module its code lives in and gives it
// back only as it exits (FreeLibraryAndExitThread), so a host that unloads
// the library never pulls the code from under it.
bool CFileMonitor::StartWindowThread() {
    // One window thread per monitor: a second one could never be ended.
    if (m_hWindowThread && ::WaitForSingleObject(m_hWindowThread.Get(), 0) == WAIT_TIMEOUT) {
        return true;
    }
    if (!m_hWindowReady) m_hWindowReady.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!m_hWindowReady) {
        Log(FormatTruncated(MAX_PATH, "FileMon window event not created, Error::%lu",
                            ::GetLastError()));
        return false;
    }
    ::ResetEvent(m_hWindowReady.Get());
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&CFileMonitor::WindowThreadProc),
                              &hModule)) {
        Log(FormatTruncated(MAX_PATH, "FileMon window thread has no module reference, Error::%lu",
                            ::GetLastError()));
        return false;
    }
    // Owned here until the thread exists; the thread then gives it back itself.
    UniqueModule hModuleReference(hModule);
    m_hThreadModule = hModule;
    m_nWindowThreadState = WINDOW_THREAD_RUNNING;
    DWORD nThreadId = 0;
    UniqueHandle hThread(::CreateThread(nullptr, 0, WindowThreadProc, this, 0, &nThreadId));
    if (!hThread) {
        m_nWindowThreadState = WINDOW_THREAD_FINISHED;
        Log(FormatTruncated(MAX_PATH, "FileMon window thread not started, Error::%lu",
                            ::GetLastError()));
        return false;
    }
    hModuleReference.Release();
    // A retried start replaces a thread that ended without a window.
    m_hWindowThread = std::move(hThread);
    m_nWindowThreadId = nThreadId;
    WaitForWindow();
    return true;
}

bool CFileMonitor::WaitForWindow() const {
    if (m_hWnd.load() != nullptr) return true;
    if (!m_hWindowReady) return false;
    if (::WaitForSingleObject(m_hWindowReady.Get(), kWindowReadyWaitMs) != WAIT_OBJECT_0) {
        Log("FileMon window not ready in time: device notifications wait for it");
    }
    return m_hWnd.load() != nullptr;
}

DWORD WINAPI CFileMonitor::WindowThreadProc(LPVOID pParam) {
    CFileMonitor* pMonitor = static_cast<CFileMonitor*>(pParam);
    const HMODULE hModule = pMonitor->m_hThreadModule;
    DWORD nExitCode = 1;
    try {
        nExitCode = pMonitor->RunWindowThread();
    } catch (...) {
        LogCaught(pMonitor, "FileMon window thread");
    }
    pMonitor->LeaveWindowThread();
    ::FreeLibraryAndExitThread(hModule, nExitCode);
    return nExitCode;  // not reached
}

DWORD CFileMonitor::RunWindowThread() {
    if (m_bThreadRunning) {
        ::SetEvent(m_hWindowReady.Get());
        return 0;
    }
    if (!m_bWindowCreated) CreateMonitorWindow();
    ::SetEvent(m_hWindowReady.Get());
    if (!m_bWindowCreated) return 1;
    m_bThreadRunning = true;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}

// The last touch of the monitor by its window thread. When Dispose stopped
// waiting, the monitor was left to this thread, which now deletes it: Dispose
// could not free it under a thread that still used it, its owner is gone, and
// this thread is its last user, so the delete is the hand-over's end, not an
// object deleting itself at random. The thread's module reference keeps this
// code loaded until FreeLibraryAndExitThread.
void CFileMonitor::LeaveWindowThread() {
    int nState = WINDOW_THREAD_RUNNING;
    if (m_nWindowThreadState.compare_exchange_strong(nState, WINDOW_THREAD_FINISHED)) return;
    if (nState == WINDOW_THREAD_ORPHANED) delete this;
}

bool CFileMonitor::CreateMonitorWindow() {
    if (!HasOwner()) return false;
    HWND hWnd = ::CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, g_hInstance, this);
    if (hWnd != nullptr) {
        m_hWnd = hWnd;
        m_bWindowCreated = true;
        Log("Create Windows Success");
    } else {
        Log("Create Windows Fail");
    }
    return m_bWindowCreated;
}

void CFileMonitor::LogCaught(CFileMonitor* pMonitor, const char* pszWhere) {
    if (pMonitor == nullptr) return;
    try {
        throw;
    } catch (const std::exception& e) {
        pMonitor->Log(FormatTruncated(MAX_PATH, "%s exception: %s", pszWhere, e.what()));
    } catch (...) {
        pMonitor->Log(FormatTruncated(MAX_PATH, "%s exception", pszWhere));
    }
}

LRESULT CALLBACK CFileMonitor::FileMonWndProc(HWND hWnd, UINT uMsg, WPARAM wParam,
                                              LPARAM lParam) {
    // Nothing may escape into the system's message dispatch.
    try {
        switch (uMsg) {
        case WM_CREATE:
            g_pWndMonitor = static_cast<CFileMonitor*>(
                reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        case WM_TIMER:
            if (g_pWndMonitor != nullptr) g_pWndMonitor->OnTimer(wParam);
            return 0;
        case WM_DEVICECHANGE:
            if (g_pWndMonitor != nullptr) g_pWndMonitor->OnDeviceChange(wParam, lParam);
            return 0;
        default:
            return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
        }
    } catch (...) {
        LogCaught(g_pWndMonitor, "FileMon window");
        return 0;
    }
}

// Ends the window thread so that nothing of the monitor outlives it: the window
// is closed on its own thread (which posts the quit message); a thread that has
// no window is sent the quit message directly. A window that a device event
// re-created on the calling thread is destroyed here. The wait is bounded: when
// it runs out the thread is logged and left running (never terminated, which
// could leave the watcher's locks held), and Dispose hands it the monitor.
bool CFileMonitor::EndWindowThread() {
    m_bClosing = true;
    // Called on the window thread itself while it runs (a host that lets go
    // of the component from inside a log call): the thread cannot be waited
    // for here, so it is asked to end and keeps the monitor until it does.
    if (m_hWindowThread && ::GetCurrentThreadId() == m_nWindowThreadId &&
        m_nWindowThreadState.load() == WINDOW_THREAD_RUNNING) {
        ::PostQuitMessage(0);
        return false;
    }
    bool bEnded = true;
    if (m_hWindowThread && ::GetCurrentThreadId() != m_nWindowThreadId) {
        const DWORD nStart = ::GetTickCount();
        const DWORD nBoundMs = m_nWindowThreadEndWaitMs.load();
        while (::WaitForSingleObject(m_hWindowThread.Get(), 0) == WAIT_TIMEOUT) {
            if (::GetTickCount() - nStart > nBoundMs) {
                Log(FormatTruncated(MAX_PATH,
                                    "FileMon window thread did not end in %lu ms: it is left "
                                    "running and frees the monitor when it ends",
                                    static_cast<unsigned long>(nBoundMs)));
                bEnded = false;
                break;
            }
            HWND hWnd = m_hWnd.load();
            if (hWnd != nullptr &&
                ::GetWindowThreadProcessId(hWnd, nullptr) == m_nWindowThreadId) {
                ::PostMessageA(hWnd, WM_CLOSE, 0, 0);
            } else {
                ::PostThreadMessageA(m_nWindowThreadId, WM_QUIT, 0, 0);
            }
            ::WaitForSingleObject(m_hWindowThread.Get(), kWindowThreadPollMs);
        }
    }
    if (!bEnded) return false;
    HWND hWnd = m_hWnd.load();
    if (hWnd != nullptr && ::GetWindowThreadProcessId(hWnd, nullptr) == ::GetCurrentThreadId()) {
        ::DestroyWindow(hWnd);
    }
    m_hWindowThread.Reset();
    m_nWindowThreadId = 0;
    m_hWnd = nullptr;
    if (g_pWndMonitor == this) g_pWndMonitor = nullptr;
    return true;
}

}  // namespace tern
