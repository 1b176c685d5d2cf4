// The hidden window "FileMon" and the thread that owns it.
#include "FileMonitor.h"

namespace tern {

CFileMonitor* g_pWndMonitor = nullptr;

namespace {

constexpr char kWindowClassName[] = "FileMonWindowClass";
constexpr char kWindowTitle[] = "FileMon";
// Long enough for a device event that is detaching roots (each stop may take 5 s).
constexpr DWORD kWindowThreadEndWaitMs = 30000;

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

bool CFileMonitor::StartWindowThread() {
    // One window thread per monitor: a second one could never be ended.
    if (m_hWindowThread != nullptr && ::WaitForSingleObject(m_hWindowThread, 0) == WAIT_TIMEOUT) {
        return true;
    }
    DWORD nThreadId = 0;
    HANDLE hThread = ::CreateThread(nullptr, 0, WindowThreadProc, this, 0, &nThreadId);
    if (hThread == nullptr) return false;
    // A retried start replaces a thread that ended without a window.
    if (m_hWindowThread != nullptr) ::CloseHandle(m_hWindowThread);
    m_hWindowThread = hThread;
    m_nWindowThreadId = nThreadId;
    return true;
}

DWORD WINAPI CFileMonitor::WindowThreadProc(LPVOID pParam) {
    CFileMonitor* pMonitor = static_cast<CFileMonitor*>(pParam);
    if (pMonitor->m_bThreadRunning) return 0;
    if (!pMonitor->m_bWindowCreated) pMonitor->CreateMonitorWindow();
    if (!pMonitor->m_bWindowCreated) return 1;
    pMonitor->m_bThreadRunning = true;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}

bool CFileMonitor::CreateMonitorWindow() {
    if (m_pOwner == nullptr) return false;
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

LRESULT CALLBACK CFileMonitor::FileMonWndProc(HWND hWnd, UINT uMsg, WPARAM wParam,
                                              LPARAM lParam) {
    switch (uMsg) {
    case WM_CREATE:
        g_pWndMonitor = static_cast<CFileMonitor*>(
            reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    // Nothing may escape into the system's message dispatch.
    case WM_TIMER:
        try {
            if (g_pWndMonitor != nullptr) g_pWndMonitor->OnTimer(wParam);
        } catch (...) {
        }
        return 0;
    case WM_DEVICECHANGE:
        try {
            if (g_pWndMonitor != nullptr) g_pWndMonitor->OnDeviceChange(wParam, lParam);
        } catch (...) {
        }
        return 0;
    default:
        return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
}

// Ends the window thread so that nothing of the monitor outlives it: the window
// is closed on its own thread (which posts the quit message); a thread that has
// no window yet is sent the quit message directly. Messages posted before the
// thread has a queue are lost, hence the repeated posts while waiting. A window
// that a device event re-created on the calling thread is destroyed here.
void CFileMonitor::EndWindowThread() {
    if (m_hWindowThread != nullptr && ::GetCurrentThreadId() != m_nWindowThreadId) {
        const DWORD nStart = ::GetTickCount();
        while (::WaitForSingleObject(m_hWindowThread, 0) == WAIT_TIMEOUT) {
            HWND hWnd = m_hWnd.load();
            if (hWnd != nullptr &&
                ::GetWindowThreadProcessId(hWnd, nullptr) == m_nWindowThreadId) {
                ::PostMessageA(hWnd, WM_CLOSE, 0, 0);
            } else {
                ::PostThreadMessageA(m_nWindowThreadId, WM_QUIT, 0, 0);
            }
            if (::GetTickCount() - nStart > kWindowThreadEndWaitMs) {
                ::TerminateThread(m_hWindowThread, 0);
                break;
            }
            ::WaitForSingleObject(m_hWindowThread, 20);
        }
    }
    HWND hWnd = m_hWnd.load();
    if (hWnd != nullptr && ::GetWindowThreadProcessId(hWnd, nullptr) == ::GetCurrentThreadId()) {
        ::DestroyWindow(hWnd);
    }
    if (m_hWindowThread != nullptr) ::CloseHandle(m_hWindowThread);
    m_hWindowThread = nullptr;
    m_nWindowThreadId = 0;
    m_hWnd = nullptr;
    if (g_pWndMonitor == this) g_pWndMonitor = nullptr;
}

}  // namespace tern
