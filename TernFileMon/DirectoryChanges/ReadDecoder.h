// CReadDecoder: the completed reads a watcher's worker has copied aside, and
// the thread that decodes them into calls on each watch's wrapper.
//
// The worker only copies a completed read, re-issues it and goes back to the
// completion port: changes that arrive while it is away from the port (on
// Windows, a completed read waiting in the port; under Wine, records waiting
// to be fetched into the read, which the thread that issued it does only when
// it next waits) pile up in the system until they overflow it. With the
// decoding and the hand-over to the notification thread done here, that time
// is as short as a bare reader's (README, Performance).
//
// Reads are decoded one at a time and in the order they were queued, by the
// decoding thread or by the worker itself: the worker decodes everything
// queued before it acts on a watch's start, stop or failure (so that a
// watch's last changes are delivered before its end, and no read outlives
// its record) and before it leaves, and decodes the oldest reads itself while
// the queue is full (the queue's memory is bounded). Without a decoding
// thread (it could not be started) the worker decodes each read itself right
// after re-issuing it.
#ifndef TERNFILEMON_DIRECTORYCHANGES_READDECODER_H
#define TERNFILEMON_DIRECTORYCHANGES_READDECODER_H

#include <windows.h>

#include <memory>

#include "../common/CriticalSection.h"
#include "../common/LibraryThread.h"
#include "DirWatchInfo.h"

namespace tern {

// Tests: the decoding thread sleeps this long before each batch it decodes,
// so that reads queue up behind it. 0, the default, in the product.
void SetDecodingThreadDelay(DWORD dwDelayMs);

// Tests: the faults the worker must decode through by itself. The first two
// apply to decoders made from then on, the last to the next batch of any
// running decoding thread, once. None, the default, in the product.
enum class EReadDecoderFault {
    None,
    NoQueueMemory,         // as if the queue's memory could not be had
    ThreadNotStarted,      // as if the decoding thread could not be started
    ThreadFailsNextBatch,  // the decoding thread leaves as on an exception, before its next batch
};
void SetReadDecoderFault(EReadDecoderFault eFault);

class CReadDecoder {
public:
    using CDirWatchInfo = CDirectoryChangeWatcher::CDirWatchInfo;

    // 128 KiB: room for the reads of a burst while the decoding thread waits
    // for a core.
    static constexpr size_t kQueuedReads = 32;
    // A batch that the decoding thread fell behind on holds up to this many
    // reads: one hand-over (a message, and a wake of the notification thread)
    // for all of them, and its first change waits for at most this many decodes.
    static constexpr size_t kReadsPerBatch = 8;
    // Queued reads that wake the decoding thread while the worker is still
    // busy at the port (see HandOver).
    static constexpr size_t kWakeAtReads = 8;

    // Starts the decoding thread; without it (or without the queue's
    // memory) the worker decodes every read itself.
    CReadDecoder();
    // Ends the decoding thread once it has decoded what is left, waiting for
    // it without a bound of its own: it decodes at most kQueuedReads reads and
    // leaves, unless a loss line it writes is held in a host log call. The worker
    // waits here, and the watcher's bound on the worker's exit covers this
    // wait (a worker held here is abandoned, and keeps the watcher and this
    // queue).
    ~CReadDecoder();
    CReadDecoder(const CReadDecoder&) = delete;
    CReadDecoder& operator=(const CReadDecoder&) = delete;

    // Worker: copies what the completed read of info brought (nBytes of its
    // read buffer), before the read is re-issued into that buffer.
    void Queue(CDirWatchInfo& info, DWORD nBytes);
    // Worker, once the read is out again (bWorkerIdle false), and when the
    // port is empty and the worker is about to wait (bWorkerIdle true): has
    // the queued reads decoded. The decoding thread is woken only when the
    // worker is about to wait or kWakeAtReads reads are queued: woken at each
    // read, it takes the core that the worker needs to get back to the port.
    void HandOver(bool bWorkerIdle);
    // True when reads were queued since the decoding thread was last woken:
    // the worker then looks at the port without waiting, and hands over when
    // it is empty.
    bool HasNewReads();
    // Decodes every queued read on the calling thread (the worker).
    void DecodeAll();

private:
    struct QueuedRead {
        CDirWatchInfo* pInfo;
        DWORD nBytes;
        alignas(8) BYTE abData[READ_DIR_CHANGE_BUFFER_SIZE];
    };

    static void RunThread(void* pThis);
    void Run();
    // Decodes the oldest queued read and the reads of the same watch queued
    // right behind it as one batch; false when none was queued.
    bool DecodeOldest();
    // Takes the oldest queued read into its record's decode buffer and
    // returns the record; null when none is queued or (given pOf) the oldest
    // is not pOf's. Decode lock held.
    CDirWatchInfo* TakeOldest(const CDirWatchInfo* pOf);
    // Decodes what info has taken and its reads queued behind it, at most
    // kReadsPerBatch in all: one hand-over to the notification thread for
    // all of them. Decode lock held.
    void DecodeBatch(CDirWatchInfo& info);

    // Lock order: m_csDecode, then m_csQueue; a record's and a wrapper's
    // locks (taken while decoding) come after m_csDecode and never with
    // m_csQueue. m_csDecode is held while a read is decoded, so that reads
    // are decoded in order and a read's record is in use only under it.
    CriticalSection m_csDecode;
    CriticalSection m_csQueue;
    ConditionVariable m_cvQueued;
    // Ring of queued reads: m_nCount from m_nOldest on. Null without memory:
    // then the worker takes each read straight into its record
    // (m_pTakenDirectly) and decodes it in HandOver.
    std::unique_ptr<QueuedRead[]> m_pReads;
    CDirWatchInfo* m_pTakenDirectly = nullptr;
    size_t m_nOldest = 0;
    size_t m_nCount = 0;
    bool m_bNewReads = false;
    bool m_bEnding = false;
    bool m_bThreadRunning = false;
    CLibraryThread m_thread;
};

}  // namespace tern

#endif
