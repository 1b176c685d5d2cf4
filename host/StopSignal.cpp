#include "StopSignal.h"

#include <atomic>

namespace tern {

namespace {

// The system may close the process about five seconds after a close event.
constexpr DWORD CLOSE_GRACE_MS = 4500;

HANDLE g_hStopRequested = nullptr;
HANDLE g_hCleanupDone = nullptr;
std::atomic<long> g_nCtrlType{-1};

BOOL WINAPI OnConsoleEvent(DWORD nCtrlType) {
    StopSignal::RequestStop(nCtrlType);
    if (nCtrlType == CTRL_CLOSE_EVENT || nCtrlType == CTRL_LOGOFF_EVENT ||
        nCtrlType == CTRL_SHUTDOWN_EVENT) {
        ::WaitForSingleObject(g_hCleanupDone, CLOSE_GRACE_MS);
    }
    return TRUE;
}

}  // namespace

StopSignal::StopSignal() {
    g_hStopRequested = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_hCleanupDone = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_nCtrlType.store(-1);
    m_bInstalled = g_hStopRequested != nullptr && g_hCleanupDone != nullptr &&
                   ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

StopSignal::~StopSignal() {
    if (m_bInstalled) ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    NotifyFinished();
    // The events stay: a console handler still running on its own thread may
    // touch them until the process ends.
}

void StopSignal::RequestStop(DWORD nCtrlType) {
    long nExpected = -1;
    g_nCtrlType.compare_exchange_strong(nExpected, static_cast<long>(nCtrlType));
    if (g_hStopRequested != nullptr) ::SetEvent(g_hStopRequested);
}

bool StopSignal::WaitForStop(DWORD nTimeoutMs) const {
    if (g_hStopRequested == nullptr) {
        ::Sleep(nTimeoutMs);
        return false;
    }
    return ::WaitForSingleObject(g_hStopRequested, nTimeoutMs) == WAIT_OBJECT_0;
}

const char* StopSignal::Reason() const {
    switch (g_nCtrlType.load()) {
        case CTRL_C_EVENT: return "Ctrl+C";
        case CTRL_BREAK_EVENT: return "Ctrl+Break";
        case CTRL_CLOSE_EVENT: return "console closed";
        case CTRL_LOGOFF_EVENT: return "logoff";
        case CTRL_SHUTDOWN_EVENT: return "shutdown";
        default: return "";
    }
}

void StopSignal::NotifyFinished() {
    if (g_hCleanupDone != nullptr) ::SetEvent(g_hCleanupDone);
}

}  // namespace tern
