// Ctrl+C, Ctrl+Break, closing the console, logoff and shutdown all ask
// ternwatch to stop. For a console close the system ends the process as soon
// as the handler returns, so the handler waits (a few seconds at most) until
// the main thread has stopped monitoring and released the component.
#ifndef TERNFILEMON_HOST_STOPSIGNAL_H
#define TERNFILEMON_HOST_STOPSIGNAL_H

#include <windows.h>

namespace tern {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool IsInstalled() const { return m_bInstalled; }
    // Waits for a stop request; false when nTimeoutMs passed without one.
    bool WaitForStop(DWORD nTimeoutMs) const;
    // What asked to stop, for the closing message ("" when nothing did).
    const char* Reason() const;
    // Cleanup is done: a waiting console-close handler may return.
    void NotifyFinished();
    // Asks to stop, as a console event would.
    static void RequestStop(DWORD nCtrlType);

private:
    bool m_bInstalled = false;
};

}  // namespace tern

#endif
