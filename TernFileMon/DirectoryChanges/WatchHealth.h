// Health counters of the directory change engine, per watched root and in
// total: what the reads brought, what was decoded, posted and delivered, what
// the event policy made of it, and what was lost. GetHealthCounters copies
// them into the host's TernHealthRecord.
//
// The Note* functions are the engine's hooks. Each takes the root's
// CWatchHealth (null: the totals only) and never fails; losses also go to the
// CLossReporter.
#ifndef TERNFILEMON_DIRECTORYCHANGES_WATCHHEALTH_H
#define TERNFILEMON_DIRECTORYCHANGES_WATCHHEALTH_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../include/TernFileMonHealth.h"
#include "LossReporter.h"

namespace tern {

struct CChangeNotification;

class CHealthCounters {
public:
    void Add(std::atomic<std::uint64_t> CHealthCounters::*pField, std::uint64_t n) {
        (this->*pField).fetch_add(n, std::memory_order_relaxed);
    }
    void RaiseTo(std::atomic<std::uint64_t> CHealthCounters::*pField, std::uint64_t nValue);
    void CopyTo(TernHealthCounters& out) const;

    std::atomic<std::uint64_t> m_nReadsCompleted{0};
    std::atomic<std::uint64_t> m_nEmptyCompletions{0};
    std::atomic<std::uint64_t> m_nRecordsDecoded{0};
    std::atomic<std::uint64_t> m_nPosted{0};
    std::atomic<std::uint64_t> m_nDispatched{0};
    std::atomic<std::uint64_t> m_nDiscarded{0};
    std::atomic<std::uint64_t> m_nQueueDepthHighest{0};
    std::atomic<std::uint64_t> m_nReportsOffered{0};
    std::atomic<std::uint64_t> m_nReportsDeliveredUsb{0};
    std::atomic<std::uint64_t> m_nReportsDeliveredLocal{0};
    std::atomic<std::uint64_t> m_nReportsRejected{0};
    std::atomic<std::uint64_t> m_nBusiestCostUs{0};
    std::atomic<std::uint64_t> m_nLost[TERN_LOSS_KIND_SLOTS] = {};
};

// The counters of one watched root. Lives until the DLL is unloaded, so
// wrappers and queued notifications may keep plain pointers to it.
class CWatchHealth {
public:
    explicit CWatchHealth(const ByteString& strRoot) : m_strRoot(strRoot) {}
    const ByteString& Root() const { return m_strRoot; }
    CHealthCounters& Counters() { return m_counters; }
    const CHealthCounters& Counters() const { return m_counters; }
    std::atomic<long> m_nActiveWatches{0};

private:
    const ByteString m_strRoot;
    CHealthCounters m_counters;
};

class CHealthRegistry {
public:
    static CHealthRegistry& Instance();

    // The entry of strRoot (compared without regard to case), made on first use.
    CWatchHealth* ForRoot(const ByteString& strRoot);
    // Fills a record whose cbSize the caller has checked.
    void Snapshot(TernHealthRecord& record);

    CHealthCounters& Totals() { return m_totals; }
    void NoteBusiestPath(std::uint64_t nCostUs, const char* pszPath);

private:
    CHealthRegistry() = default;
    static CHealthRegistry s_registry;

    CHealthCounters m_totals;
    // Guards the list of roots and m_strBusiestPath. Taken alone.
    CriticalSection m_cs;
    std::vector<std::unique_ptr<CWatchHealth>> m_vecRoots;
    std::uint64_t m_nBusiestPathCostUs = 0;
    ByteString m_strBusiestPath;
};

// ---- hooks ----

// A watch record of the root was created (+1) or destroyed (-1).
void NoteWatchCount(CWatchHealth* pHealth, long nDelta);
// A read of a running watch completed with nBytes; dwError is 0 or the error
// of the completion, bHandleOpen whether the watch still holds its directory.
void NoteReadCompletion(CWatchHealth* pHealth, DWORD nBytes, DWORD dwError, bool bHandleOpen);
void NoteLoss(CWatchHealth* pHealth, ELossKind eKind, std::uint64_t nCount);
void NoteRecordDecoded(CWatchHealth* pHealth);
// nCount notifications handed to the transport.
void NotePosted(CWatchHealth* pHealth, std::uint64_t nCount);
// A chain that could not be posted: counted as lost, then discarded by the caller.
void NoteUndelivered(const CChangeNotification* pChain);
void NoteDiscarded(const CChangeNotification* pNotification);
// nCount queued notifications of the root will be discarded unread (their
// watch ended and the wait for their delivery gave up): counted as lost, and
// the line about it written at once, since no later read of the root comes.
void NoteGivenUp(CWatchHealth* pHealth, std::uint64_t nCount);
void NoteDispatched(const CChangeNotification* pNotification, std::uint64_t nCostUs);

// The decoder's losses go to the root whose batch the worker decodes.
void SetDecodingRoot(CWatchHealth* pHealth);
void NoteDecodeLoss(ELossKind eKind);

// The event policy's reports go to the root whose notification is delivered.
void SetDispatchingRoot(CWatchHealth* pHealth);
void NoteReportOffered(bool bDeliveredLocal, bool bDeliveredUsb);

// Microseconds from a QueryPerformanceCounter reading until now (0 when the
// counter gives nothing usable).
std::uint64_t MicrosecondsSince(const LARGE_INTEGER& start);

// Times the delivery of one notification on the notification thread and
// makes its root the one the event policy's reports count for. Finish before
// the notification is freed.
class CDispatchCost {
public:
    explicit CDispatchCost(const CChangeNotification* pNotification);
    ~CDispatchCost() { SetDispatchingRoot(nullptr); }
    CDispatchCost(const CDispatchCost&) = delete;
    CDispatchCost& operator=(const CDispatchCost&) = delete;
    void Finish();

private:
    const CChangeNotification* m_pNotification;
    LARGE_INTEGER m_start;
};

// Test seam: the next nCount posts to the notification thread fail, as
// Windows' do when a thread's queue is full (Wine has no such limit).
void FailNextPosts(long nCount);
bool ConsumeInjectedPostFailure();

}  // namespace tern

#endif
