// The interactive user's temporary folder, found through the token of the
// process "ZUVOVE.exe". Finding that process lists the system's processes
// (about 1 ms under Wine, more under load, and wineserver serves every other
// thread more slowly meanwhile), so while it is not running the lookup is not
// repeated for every added file but at most once per kUserTempRetryMs.
//
// Where a retry runs: while a component object uses the lookup (BeginUse /
// EndUse), a retry after a failed lookup runs on a thread of its own, not on
// the caller's (the notification thread, where every report would wait behind
// the listing). The caller that finds a retry due starts it and goes on
// without the folder, as after the failure; the first caller after the retry
// ended takes its answer. A token process that starts is therefore noticed at
// most kUserTempRetryMs plus the time of one lookup after the last failed
// lookup began (by the first added file from then on). The first lookup, and
// every lookup while nobody uses the object (unit tests, the engine alone),
// run on the caller's thread as before.
//
// The retry thread is a CLibraryThread, like the debugger-output writer's:
// started by the first retry while there is a user, it holds a reference to
// this library; the last EndUse ends it and waits for it, kEndWaitMs at
// most (a lookup that takes longer finishes by itself and its answer is
// dropped). The last EndUse also forgets the failure, so the
// next user's first lookup runs at once, as on a fresh load.
#ifndef TERNFILEMON_COPY_USERTEMPLOOKUP_H
#define TERNFILEMON_COPY_USERTEMPLOOKUP_H

#include <windows.h>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../common/LibraryThread.h"

namespace tern {

constexpr ULONGLONG kUserTempRetryMs = 2000;

// Lock order: m_cs is taken alone (callers may hold the copy-detection lock
// around Fill; the retry thread takes nothing else).
class CUserTempLookup {
public:
    static constexpr DWORD kEndWaitMs = 5000;

    CUserTempLookup() = default;
    CUserTempLookup(const CUserTempLookup&) = delete;
    CUserTempLookup& operator=(const CUserTempLookup&) = delete;

    // Fills strTempPath while it is empty: at once the first time, and after
    // a failed lookup again only from nNowMs = failure + kUserTempRetryMs on
    // (on the retry thread while there is a user, see above). A found folder
    // is kept by the caller and never looked up again. One caller at a time.
    void Fill(ByteString& strTempPath, ULONGLONG nNowMs);
    void BeginUse();
    // Ends one use; the last one ends the retry thread within dwTimeoutMs.
    // False when the thread outlived the bound (it then ends by itself).
    bool EndUse(DWORD dwTimeoutMs = kEndWaitMs);
    // Lookups begun so far, on either thread.
    unsigned long LookupsBegun() const;

private:
    bool IsLookupDueLocked(ULONGLONG nNowMs) const;
    bool StartRetryLocked(ULONGLONG nNowMs);
    bool StartThreadLocked();
    void RunRetries();
    static void ThreadProc(void* pParam);

    mutable CriticalSection m_cs;
    ConditionVariable m_cvWork;  // a retry is wanted, or the thread is to end
    bool m_bFailed = false;
    ULONGLONG m_nFailedAtMs = 0;  // when the last failed lookup began
    bool m_bRetryWanted = false;  // asked for, not yet taken by the thread
    bool m_bRetrying = false;     // asked for, answer not yet in
    ByteString m_strRetryAnswer;  // a retry's folder, until a caller takes it
    unsigned long m_nLookups = 0;
    bool m_bThreadRunning = false;
    CLibraryThread m_thread;
};

// The expanded "TEMP" of the user running "ZUVOVE.exe", or empty.
ByteString GetUserTempPath();

}  // namespace tern

#endif
