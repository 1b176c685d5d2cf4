#include "WatchHealth.h"

#include <cstring>

#include "DelayedDirectoryChangeHandler.h"

namespace tern {

namespace {

// Enough for every drive letter with room to spare; more roots share the totals.
constexpr size_t kMaxTrackedRoots = TERN_HEALTH_MAX_ROOTS;

// Which root the worker decodes for, and which root's notification the
// notification thread delivers: one pointer per thread. A Win32 TLS slot
// rather than thread_local: it needs no destructor that could outlive the DLL.
class CThreadRoot {
public:
    CThreadRoot() : m_dwSlot(::TlsAlloc()) {}
    ~CThreadRoot() {
        if (m_dwSlot != TLS_OUT_OF_INDEXES) ::TlsFree(m_dwSlot);
    }
    CThreadRoot(const CThreadRoot&) = delete;
    CThreadRoot& operator=(const CThreadRoot&) = delete;
    void Set(CWatchHealth* pHealth) {
        if (m_dwSlot != TLS_OUT_OF_INDEXES) ::TlsSetValue(m_dwSlot, pHealth);
    }
    CWatchHealth* Get() const {
        return m_dwSlot != TLS_OUT_OF_INDEXES ? static_cast<CWatchHealth*>(::TlsGetValue(m_dwSlot))
                                              : nullptr;
    }

private:
    const DWORD m_dwSlot;
};

CThreadRoot g_decodingRoot;
CThreadRoot g_dispatchingRoot;
std::atomic<long> g_nInjectedPostFailures{0};

std::uint64_t Load(const std::atomic<std::uint64_t>& value) {
    return value.load(std::memory_order_relaxed);
}

void CopyText(char (&szOut)[TERN_HEALTH_TEXT_BYTES], const ByteString& strText) {
    const size_t nLength =
        strText.size() < TERN_HEALTH_TEXT_BYTES - 1 ? strText.size() : TERN_HEALTH_TEXT_BYTES - 1;
    std::memcpy(szOut, strText.data(), nLength);
    szOut[nLength] = '\0';
}

// Adds to the root's counters (when there is a root) and to the totals.
template <typename Apply>
void ForRootAndTotals(CWatchHealth* pHealth, Apply apply) {
    if (pHealth != nullptr) apply(pHealth->Counters());
    apply(CHealthRegistry::Instance().Totals());
}

void RaiseQueueHighest(CHealthCounters& counters) {
    const std::uint64_t nDone = Load(counters.m_nDispatched) + Load(counters.m_nDiscarded);
    const std::uint64_t nPosted = Load(counters.m_nPosted);
    if (nPosted > nDone) counters.RaiseTo(&CHealthCounters::m_nQueueDepthHighest, nPosted - nDone);
}

CWatchHealth* HealthOf(const CChangeNotification* pNotification) {
    return pNotification != nullptr && pNotification->m_pDelayedHandler
               ? pNotification->m_pDelayedHandler->GetHealth()
               : nullptr;
}

}  // namespace

void CHealthCounters::RaiseTo(std::atomic<std::uint64_t> CHealthCounters::*pField,
                              std::uint64_t nValue) {
    std::atomic<std::uint64_t>& field = this->*pField;
    std::uint64_t nSeen = field.load(std::memory_order_relaxed);
    while (nSeen < nValue && !field.compare_exchange_weak(nSeen, nValue)) {
    }
}

void CHealthCounters::CopyTo(TernHealthCounters& out) const {
    out.nReadsCompleted = Load(m_nReadsCompleted);
    out.nEmptyCompletions = Load(m_nEmptyCompletions);
    out.nRecordsDecoded = Load(m_nRecordsDecoded);
    // Read the outflow first: a post that lands in between cannot make the
    // queue look negative.
    out.nNotificationsDispatched = Load(m_nDispatched);
    out.nNotificationsDiscarded = Load(m_nDiscarded);
    out.nNotificationsPosted = Load(m_nPosted);
    const std::uint64_t nDone = out.nNotificationsDispatched + out.nNotificationsDiscarded;
    out.nQueueDepth = out.nNotificationsPosted > nDone ? out.nNotificationsPosted - nDone : 0;
    out.nQueueDepthHighest = Load(m_nQueueDepthHighest);
    if (out.nQueueDepthHighest < out.nQueueDepth) out.nQueueDepthHighest = out.nQueueDepth;
    out.nReportsOffered = Load(m_nReportsOffered);
    out.nReportsDeliveredUsb = Load(m_nReportsDeliveredUsb);
    out.nReportsDeliveredLocal = Load(m_nReportsDeliveredLocal);
    out.nReportsRejected = Load(m_nReportsRejected);
    out.nBusiestCostMicroseconds = Load(m_nBusiestCostUs);
    for (unsigned i = 0; i < TERN_LOSS_KIND_SLOTS; ++i) out.nLost[i] = Load(m_nLost[i]);
}

// At namespace scope, not inside Instance(): a function-local static takes an
// initialisation guard that makes the threading runtime adopt (and never let
// go of) the first thread that reaches it, once per load of the library.
CHealthRegistry CHealthRegistry::s_registry;

CHealthRegistry& CHealthRegistry::Instance() { return s_registry; }

CWatchHealth* CHealthRegistry::ForRoot(const ByteString& strRoot) {
    ScopedLock lock(m_cs);
    for (const auto& pHealth : m_vecRoots) {
        if (EqualsNoCase(pHealth->Root(), strRoot)) return pHealth.get();
    }
    if (m_vecRoots.size() >= kMaxTrackedRoots) return nullptr;
    m_vecRoots.push_back(std::make_unique<CWatchHealth>(strRoot));
    return m_vecRoots.back().get();
}

void CHealthRegistry::NoteBusiestPath(std::uint64_t nCostUs, const char* pszPath) {
    ScopedLock lock(m_cs);
    if (nCostUs <= m_nBusiestPathCostUs) return;
    m_nBusiestPathCostUs = nCostUs;
    m_strBusiestPath = pszPath != nullptr ? pszPath : "";
}

void CHealthRegistry::Snapshot(TernHealthRecord& record) {
    const std::uint32_t cbSize = record.cbSize;
    std::memset(&record, 0, sizeof(record));
    record.cbSize = cbSize;
    record.nVersion = TERN_HEALTH_VERSION;
    ScopedLock lock(m_cs);
    m_totals.CopyTo(record.total);
    CopyText(record.szBusiestPath, m_strBusiestPath);
    for (const auto& pHealth : m_vecRoots) {
        if (record.nRootCount >= TERN_HEALTH_MAX_ROOTS) {
            ++record.nRootsOmitted;
            continue;
        }
        TernHealthRoot& root = record.aRoots[record.nRootCount++];
        CopyText(root.szRoot, pHealth->Root());
        const long nActive = pHealth->m_nActiveWatches.load();
        root.nActiveWatches = nActive > 0 ? static_cast<std::uint32_t>(nActive) : 0;
        pHealth->Counters().CopyTo(root.counters);
    }
}

// ---- hooks ----

void NoteWatchCount(CWatchHealth* pHealth, long nDelta) {
    if (pHealth != nullptr) pHealth->m_nActiveWatches += nDelta;
}

void NoteReadCompletion(CWatchHealth* pHealth, DWORD nBytes, DWORD dwError, bool bHandleOpen) {
    ForRootAndTotals(pHealth, [nBytes](CHealthCounters& counters) {
        counters.Add(&CHealthCounters::m_nReadsCompleted, 1);
        if (nBytes == 0) counters.Add(&CHealthCounters::m_nEmptyCompletions, 1);
    });
    if (dwError == 0) {
        if (nBytes == 0) NoteLoss(pHealth, ELossKind::Overflow, 1);
    } else if (dwError == ERROR_NOTIFY_ENUM_DIR) {
        // Windows' own way of saying that its change buffer overflowed.
        NoteLoss(pHealth, ELossKind::Overflow, 1);
    } else if (dwError == ERROR_OPERATION_ABORTED) {
        // A stop closes the directory first: only an abort under a live watch loses anything.
        if (bHandleOpen) NoteLoss(pHealth, ELossKind::ReadAborted, 1);
    } else if (bHandleOpen) {
        NoteLoss(pHealth, ELossKind::ReadFailed, 1);
    }
    if (pHealth != nullptr) CLossReporter::Instance().Poll(pHealth->Root());
}

void NoteLoss(CWatchHealth* pHealth, ELossKind eKind, std::uint64_t nCount) {
    if (nCount == 0 || eKind >= ELossKind::Count) return;
    const unsigned nKind = static_cast<unsigned>(eKind);
    ForRootAndTotals(pHealth, [nKind, nCount](CHealthCounters& counters) {
        counters.m_nLost[nKind].fetch_add(nCount, std::memory_order_relaxed);
    });
    CLossReporter::Instance().NoteLoss(pHealth != nullptr ? pHealth->Root() : ByteString("(other)"),
                                       eKind, nCount);
}

void NoteRecordDecoded(CWatchHealth* pHealth) {
    ForRootAndTotals(pHealth, [](CHealthCounters& counters) {
        counters.Add(&CHealthCounters::m_nRecordsDecoded, 1);
    });
}

void NotePosted(CWatchHealth* pHealth, std::uint64_t nCount) {
    if (nCount == 0) return;
    ForRootAndTotals(pHealth, [nCount](CHealthCounters& counters) {
        counters.Add(&CHealthCounters::m_nPosted, nCount);
        RaiseQueueHighest(counters);
    });
}

void NoteUndelivered(const CChangeNotification* pChain) {
    std::uint64_t nCount = 0;
    for (const CChangeNotification* p = pChain; p != nullptr; p = p->m_pNext) ++nCount;
    NoteLoss(HealthOf(pChain), ELossKind::PostFailed, nCount);
}

void NoteDiscarded(const CChangeNotification* pNotification) {
    ForRootAndTotals(HealthOf(pNotification), [](CHealthCounters& counters) {
        counters.Add(&CHealthCounters::m_nDiscarded, 1);
    });
}

void NoteGivenUp(CWatchHealth* pHealth, std::uint64_t nCount) {
    NoteLoss(pHealth, ELossKind::Undelivered, nCount);
    CLossReporter::Instance().FlushRoot(pHealth != nullptr ? pHealth->Root() : ByteString("(other)"));
}

void NoteDispatched(const CChangeNotification* pNotification, std::uint64_t nCostUs) {
    // The path is kept only for a new highest, which is rare: no lock otherwise.
    const bool bBusiest = nCostUs > Load(CHealthRegistry::Instance().Totals().m_nBusiestCostUs);
    ForRootAndTotals(HealthOf(pNotification), [nCostUs](CHealthCounters& counters) {
        counters.Add(&CHealthCounters::m_nDispatched, 1);
        counters.RaiseTo(&CHealthCounters::m_nBusiestCostUs, nCostUs);
    });
    if (bBusiest) CHealthRegistry::Instance().NoteBusiestPath(nCostUs, pNotification->m_strFileName1.c_str());
}

void SetDecodingRoot(CWatchHealth* pHealth) { g_decodingRoot.Set(pHealth); }

void NoteDecodeLoss(ELossKind eKind) { NoteLoss(g_decodingRoot.Get(), eKind, 1); }

void SetDispatchingRoot(CWatchHealth* pHealth) { g_dispatchingRoot.Set(pHealth); }

void NoteReportOffered(bool bDeliveredLocal, bool bDeliveredUsb) {
    ForRootAndTotals(g_dispatchingRoot.Get(), [=](CHealthCounters& counters) {
        counters.Add(&CHealthCounters::m_nReportsOffered, 1);
        if (bDeliveredLocal) counters.Add(&CHealthCounters::m_nReportsDeliveredLocal, 1);
        if (bDeliveredUsb) counters.Add(&CHealthCounters::m_nReportsDeliveredUsb, 1);
        if (!bDeliveredLocal && !bDeliveredUsb) counters.Add(&CHealthCounters::m_nReportsRejected, 1);
    });
}

CDispatchCost::CDispatchCost(const CChangeNotification* pNotification)
    : m_pNotification(pNotification) {
    ::QueryPerformanceCounter(&m_start);
    SetDispatchingRoot(HealthOf(pNotification));
}

std::uint64_t MicrosecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER end = {};
    LARGE_INTEGER frequency = {};
    ::QueryPerformanceCounter(&end);
    ::QueryPerformanceFrequency(&frequency);
    const long long nTicks = end.QuadPart - start.QuadPart;
    if (frequency.QuadPart <= 0 || nTicks <= 0) return 0;
    return static_cast<std::uint64_t>(nTicks) * 1000000u / static_cast<std::uint64_t>(frequency.QuadPart);
}

void CDispatchCost::Finish() {
    NoteDispatched(m_pNotification, MicrosecondsSince(m_start));
    SetDispatchingRoot(nullptr);
}

void FailNextPosts(long nCount) { g_nInjectedPostFailures = nCount; }

bool ConsumeInjectedPostFailure() {
    long nLeft = g_nInjectedPostFailures.load();
    while (nLeft > 0) {
        if (g_nInjectedPostFailures.compare_exchange_weak(nLeft, nLeft - 1)) return true;
    }
    return false;
}

}  // namespace tern
