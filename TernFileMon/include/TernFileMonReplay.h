// TernFileMon policy recording and replay: what the event policy of each
// watched root was handed, and the same policy run again over it with other
// rules.
//
// Two exports beside those of TernFileMon.h and TernFileMonHealth.h:
//
//   SetPolicyRecorder (ordinal 5): a host function that receives every
//   notification the policy handler of a watched root receives, with the
//   answers the handler got from the clock and from copy detection.
//
//   ReplayPolicyNotes (ordinal 6): runs the component's own policy handlers
//   over such notes with no file system and no clock: the recorded times and
//   copy-source answers are used, and the reports go to the given callbacks
//   after matching the given rules, exactly as a live report would.
//
// The note has fixed-width fields and borrowed texts; its texts are in the
// ANSI code page (paths as the handler received them, bytes unchanged).
#ifndef TERNFILEMON_INCLUDE_TERNFILEMONREPLAY_H
#define TERNFILEMON_INCLUDE_TERNFILEMONREPLAY_H

#include <windows.h>

#include <cstdint>

#include "TernFileMon.h"

// What the handler was told. The numbers are those of the file system's change records.
enum : std::uint32_t {
    TERN_NOTE_ADDED = 1,
    TERN_NOTE_REMOVED = 2,
    TERN_NOTE_MODIFIED = 3,
    TERN_NOTE_RENAMED = 4,
};

// Results of ReplayPolicyNotes (Win32 error codes).
enum : int {
    TERN_REPLAY_OK = 0,
    TERN_REPLAY_BAD_NOTE = 13,       // ERROR_INVALID_DATA: a note is short, has no path or an unknown kind
    TERN_REPLAY_NULL_ARGUMENT = 87,  // ERROR_INVALID_PARAMETER: no setup, short setup, or no source
    TERN_REPLAY_BUSY = 170,          // ERROR_BUSY: a component object is alive in this process
    TERN_REPLAY_FAILED = 1359,       // ERROR_INTERNAL_ERROR: caught inside (traced); replay ended there
};

// One notification of one root's policy handler.
struct TernPolicyNote {
    std::uint32_t cbSize;         // sizeof(TernPolicyNote)
    std::uint32_t nKind;          // TERN_NOTE_*
    std::uint32_t nHandler;       // the root's handler, numbered from 1 in the order handlers were made
    std::int32_t nMonitorType;    // FILEMON_USB or FILEMON_LOCAL: whose rule list the handler was
                                  // attached with; 0 when it had none
    std::int64_t tTime;           // the clock the handler read, seconds since 1970-01-01 UTC; -1: none
    std::uint64_t nMicroseconds;  // the handler's whole work on it (recorder only; replay ignores it)
    const char* pszPath;          // the path; for a rename the old path
    const char* pszNewPath;       // a rename's new path, otherwise ""
    const char* pszCopySource;    // an addition's copy-source answer ("": no copy); null: not asked
    const char* pszUsbRoots;      // the roots watched for usb at that moment, "E:\|F:\" ("" for none)
    const char* pszInstallRoot;   // the handler's installation folder, lower case ("" for none)
};

// Receives each note on the component's notification thread, after the
// handler's work on it (its reports included). The note and its texts are
// lent for the call only. It must not block for long: every report waits.
typedef void(TERN_CALLBACK* TernPolicyRecorder)(const TernPolicyNote* pNote);

// Hands out the next note to replay, or null at the end. The note stays
// valid until the next call.
typedef const TernPolicyNote*(TERN_CALLBACK* TernNoteSource)(void* pContext);

// The host's side of a replay: its rules and report callbacks per monitor
// type, as StartMonitoring would have been given them (null: type not started).
struct TernReplaySetup {
    std::uint32_t cbSize;  // sizeof(TernReplaySetup)
    FileMonRuleList* pUsbRules;
    FileMonCallback pfnUsbCallback;
    FileMonRuleList* pLocalRules;
    FileMonCallback pfnLocalCallback;
};

// Sets the recorder, or clears it with null; returns the one set before.
// Any thread, any time while the DLL is loaded. A note being delivered while
// the recorder changes may still reach the old one: clear it after the last
// Release, or keep what the old one uses alive.
typedef TernPolicyRecorder(TERN_CALLBACK* PFN_SetPolicyRecorder)(TernPolicyRecorder pfnRecorder);

// Replays the notes of pfnSource on the calling thread, one policy handler per
// recorded handler number; the callbacks are called on this thread before the
// call returns. Only in a process with no live component object (the replay
// borrows the process-wide file monitor and usb roots for its duration):
// CreateObject must not be called meanwhile. Returns TERN_REPLAY_*.
typedef int(TERN_CALLBACK* PFN_ReplayPolicyNotes)(const TernReplaySetup* pSetup,
                                                  TernNoteSource pfnSource, void* pContext);

extern "C" {
TERNFILEMON_API TernPolicyRecorder TERN_CALLBACK SetPolicyRecorder(TernPolicyRecorder pfnRecorder);
TERNFILEMON_API int TERN_CALLBACK ReplayPolicyNotes(const TernReplaySetup* pSetup,
                                                    TernNoteSource pfnSource, void* pContext);
}

#endif
