#include "DeliveryBatch.h"

#include <windows.h>

#include <atomic>

namespace tern {

namespace {

std::atomic<unsigned long> g_nLastBatch{0};
// The batch being delivered and the thread delivering it; written only by that
// thread, read by any (another thread sees a different id and gets 0).
std::atomic<unsigned long> g_nCurrentBatch{0};
std::atomic<DWORD> g_dwDeliveringThread{0};

}  // namespace

CDeliveryBatchScope::CDeliveryBatchScope() {
    if (CurrentDeliveryBatch() != 0) return;
    m_bOuter = true;
    unsigned long nBatch = ++g_nLastBatch;
    if (nBatch == 0) nBatch = ++g_nLastBatch;  // 0 means "none"
    g_dwDeliveringThread = 0;
    g_nCurrentBatch = nBatch;
    g_dwDeliveringThread = ::GetCurrentThreadId();
}

CDeliveryBatchScope::~CDeliveryBatchScope() {
    if (!m_bOuter) return;
    g_dwDeliveringThread = 0;
    g_nCurrentBatch = 0;
}

unsigned long CurrentDeliveryBatch() {
    if (g_dwDeliveringThread.load() != ::GetCurrentThreadId()) return 0;
    return g_nCurrentBatch.load();
}

}  // namespace tern
