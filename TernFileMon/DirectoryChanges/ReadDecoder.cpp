#include "ReadDecoder.h"

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Trace.h"

namespace tern {

namespace {
std::atomic<DWORD> g_dwDecodingThreadDelayMs{0};
std::atomic<EReadDecoderFault> g_eInjectedFault{EReadDecoderFault::None};

bool IsFaultInjected(EReadDecoderFault eFault) { return g_eInjectedFault.load() == eFault; }

// True once for each injected ThreadFailsNextBatch.
bool TakeInjectedThreadFailure() {
    EReadDecoderFault eExpected = EReadDecoderFault::ThreadFailsNextBatch;
    return g_eInjectedFault.compare_exchange_strong(eExpected, EReadDecoderFault::None);
}
}  // namespace

void SetDecodingThreadDelay(DWORD dwDelayMs) { g_dwDecodingThreadDelayMs = dwDelayMs; }

void SetReadDecoderFault(EReadDecoderFault eFault) { g_eInjectedFault = eFault; }

CReadDecoder::CReadDecoder()
    : m_pReads(IsFaultInjected(EReadDecoderFault::NoQueueMemory) ? nullptr
                                                                  : new (std::nothrow) QueuedRead[kQueuedReads]) {
    if (m_pReads == nullptr) {
        TERN_TRACE("Read decoder: no memory for the queue, the worker decodes");
        return;
    }
    ScopedLock lock(m_csQueue);
    m_bThreadRunning = !IsFaultInjected(EReadDecoderFault::ThreadNotStarted) &&
                       m_thread.Start(&CReadDecoder::RunThread, this);
    if (!m_bThreadRunning) TERN_TRACE_CODE("Read decoder thread not started", ::GetLastError());
}

CReadDecoder::~CReadDecoder() {
    // The thread decodes what is left before it leaves. Nothing here throws:
    // this also runs while an exception leaves the worker.
    {
        ScopedLock lock(m_csQueue);
        m_bEnding = true;
    }
    m_cvQueued.WakeAll();
    m_thread.Join(INFINITE);
}

void CReadDecoder::Queue(CDirWatchInfo& info, DWORD nBytes) {
    if (nBytes > READ_DIR_CHANGE_BUFFER_SIZE) nBytes = READ_DIR_CHANGE_BUFFER_SIZE;
    if (m_pReads == nullptr) {
        info.TakeCompletedRead(info.CompletedRead(), nBytes);
        m_pTakenDirectly = &info;
        return;
    }
    for (;;) {
        {
            ScopedLock lock(m_csQueue);
            if (m_nCount < kQueuedReads) {
                QueuedRead& read = m_pReads[(m_nOldest + m_nCount) % kQueuedReads];
                read.pInfo = &info;
                read.nBytes = nBytes;
                std::memcpy(read.abData, info.CompletedRead(), nBytes);
                ++m_nCount;
                m_bNewReads = true;
                return;
            }
        }
        // Full: the decoding thread is behind; the worker makes room itself.
        DecodeOldest();
    }
}

void CReadDecoder::HandOver(bool bWorkerIdle) {
    bool bThreadRunning = false;
    bool bWake = false;
    {
        ScopedLock lock(m_csQueue);
        bThreadRunning = m_bThreadRunning;
        bWake = m_bNewReads && (bWorkerIdle || m_nCount >= kWakeAtReads);
        if (bWake) m_bNewReads = false;
    }
    if (bThreadRunning) {
        if (bWake) m_cvQueued.WakeOne();
        return;
    }
    if (m_pTakenDirectly != nullptr) {
        ScopedLock decode(m_csDecode);
        CDirWatchInfo* pInfo = m_pTakenDirectly;
        m_pTakenDirectly = nullptr;
        DecodeBatch(*pInfo);
    }
    DecodeAll();
}

bool CReadDecoder::HasNewReads() {
    ScopedLock lock(m_csQueue);
    return m_bNewReads && m_bThreadRunning;
}

void CReadDecoder::DecodeAll() {
    while (DecodeOldest()) {
    }
}

bool CReadDecoder::DecodeOldest() {
    ScopedLock decode(m_csDecode);
    CDirWatchInfo* pInfo = TakeOldest(nullptr);
    if (pInfo == nullptr) return false;
    DecodeBatch(*pInfo);
    return true;
}

CReadDecoder::CDirWatchInfo* CReadDecoder::TakeOldest(const CDirWatchInfo* pOf) {
    ScopedLock lock(m_csQueue);
    if (m_nCount == 0) return nullptr;
    const QueuedRead& read = m_pReads[m_nOldest];
    if (pOf != nullptr && read.pInfo != pOf) return nullptr;
    // Copied out under the lock: the worker may fill the slot once it is free.
    read.pInfo->TakeCompletedRead(read.abData, read.nBytes);
    m_nOldest = (m_nOldest + 1) % kQueuedReads;
    --m_nCount;
    return read.pInfo;
}

void CReadDecoder::DecodeBatch(CDirWatchInfo& info) {
    info.BeginDecodedBatch();
    try {
        info.DecodeTakenRead();
        for (size_t nReads = 1; nReads < kReadsPerBatch && TakeOldest(&info) != nullptr; ++nReads) {
            info.DecodeTakenRead();
        }
    } catch (...) {
        // Not a boundary: the batch decoded so far is handed over, and the
        // exception goes on to the thread's entry, which logs it.
        info.EndDecodedBatch();
        throw;
    }
    info.EndDecodedBatch();
}

void CReadDecoder::RunThread(void* pThis) { static_cast<CReadDecoder*>(pThis)->Run(); }

void CReadDecoder::Run() {
    try {
        for (;;) {
            {
                ScopedLock lock(m_csQueue);
                // The thread's idle wait for work, not a wait of any ending:
                // the ending wakes it.
                while (m_nCount == 0 && !m_bEnding) m_cvQueued.Wait(m_csQueue, INFINITE);
                if (m_nCount == 0) break;
            }
            if (const DWORD dwDelayMs = g_dwDecodingThreadDelayMs.load()) ::Sleep(dwDelayMs);
            if (TakeInjectedThreadFailure()) throw std::runtime_error("injected decoding thread failure");
            DecodeOldest();
        }
    } catch (...) {
        // The read being decoded is lost; the worker decodes from now on,
        // starting with those still queued at its next completion or at the
        // watch's stop, whichever comes first.
        TERN_TRACE("Read decoder exception");
    }
    ScopedLock lock(m_csQueue);
    m_bThreadRunning = false;
}

}  // namespace tern
