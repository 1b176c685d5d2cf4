// TernFileMon health counters: how much the component saw, delivered and lost.
//
// One export beside the three of TernFileMon.h, ordinal 4:
//
//   TernHealthRecord record = {};
//   record.cbSize = sizeof(record);
//   auto pfnGet = TernGetExport<PFN_GetHealthCounters>(hModule, "GetHealthCounters");
//   if (pfnGet != nullptr && pfnGet(&record) == 0) { ... }
//
// Every field has a fixed width, so the record is the same on the 32-bit and
// the 64-bit build; it holds no std::string and no pointer. The caller owns it.
// cbSize makes it growable: later versions append fields, older callers keep
// passing their smaller size and get exactly the fields they know.
//
// The counters are process-wide and count from the moment the DLL was loaded;
// a host that wants figures for one period takes two records and subtracts.
// Roots are the watched directories as the component names them ("D:\").
#ifndef TERNFILEMON_INCLUDE_TERNFILEMONHEALTH_H
#define TERNFILEMON_INCLUDE_TERNFILEMONHEALTH_H

#include <windows.h>

#include <cstdint>

#include "TernFileMon.h"

// Kinds of loss, the index into TernHealthCounters::nLost. The names in
// quotes are the ones the component's log lines use.
enum : std::uint32_t {
    TERN_LOSS_OVERFLOW = 0,      // "overflow": a read completed with no records (buffer overflow)
    TERN_LOSS_RENAME_HALF = 1,   // "rename-half": half of a rename pair had to be dropped
    TERN_LOSS_POST_FAILED = 2,   // "post-failed": a notification could not be queued for delivery
    TERN_LOSS_READ_FAILED = 3,   // "read-failed": a read completed with an error
    TERN_LOSS_READ_ABORTED = 4,  // "read-aborted": a read was aborted while its watch still ran
    TERN_LOSS_WATCH_ENDED = 5,   // "watch-ended": a watch ended on its own (read not re-issued)
    TERN_LOSS_UNDELIVERED = 6,   // "undelivered": queued, then discarded unread when its watch ended (version 2)
    TERN_LOSS_KIND_COUNT = 7,
    TERN_LOSS_KIND_SLOTS = 8,    // room in nLost; slots past the kinds stay 0
};

// The name of a kind as the log lines write it.
inline const char* TernLossKindName(std::uint32_t nKind) {
    static const char* const kNames[TERN_LOSS_KIND_COUNT] = {
        "overflow", "rename-half", "post-failed", "read-failed", "read-aborted", "watch-ended",
        "undelivered"};
    return nKind < TERN_LOSS_KIND_COUNT ? kNames[nKind] : "unknown";
}

enum : std::uint32_t {
    TERN_HEALTH_VERSION = 2,      // 2: nLost[TERN_LOSS_UNDELIVERED] is counted
    TERN_HEALTH_MAX_ROOTS = 32,   // roots past this many are counted in the totals only
    TERN_HEALTH_TEXT_BYTES = 264, // NUL-terminated, ANSI code page, cut when longer
};

// Results of GetHealthCounters (Win32 error codes).
enum : int {
    TERN_HEALTH_OK = 0,
    TERN_HEALTH_NULL_RECORD = 87,   // ERROR_INVALID_PARAMETER: pRecord is null
    TERN_HEALTH_SHORT_RECORD = 122, // ERROR_INSUFFICIENT_BUFFER: cbSize < sizeof(TernHealthRecord)
};

// One set of counters (of one root, or the totals).
struct TernHealthCounters {
    std::uint64_t nReadsCompleted;          // read completions of running watches
    std::uint64_t nEmptyCompletions;        // of those, completions that carried no records
    std::uint64_t nRecordsDecoded;          // file changes decoded (a rename pair counts once)
    std::uint64_t nNotificationsPosted;     // handed to the notification thread
    std::uint64_t nNotificationsDispatched; // taken off the queue and delivered to the handler
    std::uint64_t nNotificationsDiscarded;  // freed without delivery (failed posts included)
    std::uint64_t nQueueDepth;              // posted - dispatched - discarded, now
    std::uint64_t nQueueDepthHighest;       // the highest nQueueDepth seen
    std::uint64_t nReportsOffered;          // actions the event policy offered to the rules
    std::uint64_t nReportsDeliveredUsb;     // of those, delivered to the FILEMON_USB callback
    std::uint64_t nReportsDeliveredLocal;   // of those, delivered to the FILEMON_LOCAL callback
    std::uint64_t nReportsRejected;         // of those, accepted by no rule (or no callback set)
    std::uint64_t nBusiestCostMicroseconds; // the longest delivery of one notification
    std::uint64_t nLost[TERN_LOSS_KIND_SLOTS]; // losses by TERN_LOSS_* kind
};

struct TernHealthRoot {
    char szRoot[TERN_HEALTH_TEXT_BYTES];  // the watched directory
    std::uint32_t nActiveWatches;         // watches of this root that exist now (0 or 1)
    std::uint32_t nReserved;
    TernHealthCounters counters;
};

struct TernHealthRecord {
    std::uint32_t cbSize;        // in: sizeof(TernHealthRecord) of the caller's header
    std::uint32_t nVersion;      // out: TERN_HEALTH_VERSION
    std::uint32_t nRootCount;    // out: entries of aRoots filled
    std::uint32_t nRootsOmitted; // out: roots that did not fit into aRoots
    TernHealthCounters total;    // out: every root, and roots that did not fit
    char szBusiestPath[TERN_HEALTH_TEXT_BYTES];  // out: the notification behind nBusiestCostMicroseconds
    TernHealthRoot aRoots[TERN_HEALTH_MAX_ROOTS];
};

// Fills *pRecord. Returns TERN_HEALTH_OK, or TERN_HEALTH_NULL_RECORD /
// TERN_HEALTH_SHORT_RECORD without touching the record. Any thread, any time
// while the DLL is loaded (also before CreateObject and after the last Release).
typedef int(TERN_CALLBACK* PFN_GetHealthCounters)(TernHealthRecord* pRecord);

extern "C" {
TERNFILEMON_API int TERN_CALLBACK GetHealthCounters(TernHealthRecord* pRecord);
}

#endif
