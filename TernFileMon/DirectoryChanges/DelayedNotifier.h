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
// it starts with the first notifier and ends with the last.
class CDelayedNotificationThread : public CDelayedNotifier {
public:
    CDelayedNotificationThread();
    ~CDelayedNotificationThread() override;
    void PostNotification(CChangeNotification* pNotification) override;
    static DWORD ThreadId();

private:
    static unsigned __stdcall ThreadProc(void* pParam);
    UniqueHandle m_hThreadStarted;
};

}  // namespace tern

#endif
