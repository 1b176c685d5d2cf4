// The two ways a deferred notification travels to the thread that delivers it:
// one process-wide notification thread, or one process-wide hidden window
// served by the message loop of the thread that created it.
#ifndef TERNFILEMON_DIRECTORYCHANGES_DELAYEDNOTIFIER_H
#define TERNFILEMON_DIRECTORYCHANGES_DELAYEDNOTIFIER_H

#include <windows.h>

#include "../common/Win32Handles.h"

namespace tern {

struct CChangeNotification;

class CDelayedNotifier {
public:
    CDelayedNotifier() = default;
    CDelayedNotifier(const CDelayedNotifier&) = delete;
    CDelayedNotifier& operator=(const CDelayedNotifier&) = delete;
    virtual ~CDelayedNotifier() = default;
    // Takes the notification: it is delivered, or discarded when it cannot be.
    virtual void PostNotification(CChangeNotification* pNotification) = 0;
};

// Shares one window ("DelayedWnd", class "Delayed_Message_Sender") among all
// window notifiers of the process.
class CDelayedNotificationWindow : public CDelayedNotifier {
public:
    CDelayedNotificationWindow();
    ~CDelayedNotificationWindow() override;
    void PostNotification(CChangeNotification* pNotification) override;
    static HWND WindowHandle();
};

// Shares one notification thread among all thread notifiers of the process:
// it starts with the first notifier and ends with the last. Every queued
// notification holds its wrapper and so its notifier: the thread is told to
// end only once nothing is queued for it.
//
// Ending. The last notifier sets the thread's quit event. Destroyed on another
// thread, it waits for the thread to end (kThreadEndWaitMs); destroyed on the
// notification thread itself (the last wrapper released by a dispatch), or
// when that wait runs out, the thread is left to end by itself and its handle
// is kept for WaitForEnd. The thread holds a reference to the module it runs
// in and leaves with FreeLibraryAndExitThread: a thread that nobody waited for
// keeps the library loaded until its last instruction, never longer.
class CDelayedNotificationThread : public CDelayedNotifier {
public:
    static constexpr DWORD kThreadEndWaitMs = 5000;

    CDelayedNotificationThread();
    ~CDelayedNotificationThread() override;
    void PostNotification(CChangeNotification* pNotification) override;
    static DWORD ThreadId();

    // Returns true once every notification posted before the call has been
    // delivered (at once when no thread runs), false when dwTimeoutMs ran out
    // or when called on the notification thread itself, which cannot wait for
    // its own queue. After a false result every notification posted before
    // the call is discarded unread: the call being delivered at that moment
    // finishes, nothing behind it starts. What is discarded so is counted as
    // lost ("undelivered") and its loss line written before Flush returns.
    static bool Flush(DWORD dwTimeoutMs);
    // Waits (at most dwTimeoutMs) for a notification thread that was told to
    // end and closes its handle. True when no such thread is left running.
    static bool WaitForEnd(DWORD dwTimeoutMs);

    // The thread's entry; pParam is the start record its starter made.
    static unsigned __stdcall ThreadProc(void* pParam);
};

// Where faults stopped while a notification was dispatched are reported
// besides the trace: the component hands its log here while it lives (null
// to stop). The reporter is called on the notification thread under a lock
// that setting it also takes, so after the setter returns the old reporter is
// no longer running and is never called again.
using DispatchFaultReporter = void (*)(const char* pszText, void* pContext);
void SetDispatchFaultReporter(DispatchFaultReporter pfnReporter, void* pContext);
// Clears the reporter if it is still the one set with pContext.
void ClearDispatchFaultReporter(void* pContext);
// Traces the text and hands it to the reporter, if one is set.
void ReportDispatchFault(const char* pszText);

}  // namespace tern

#endif
