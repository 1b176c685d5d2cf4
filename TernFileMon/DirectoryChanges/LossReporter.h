// CLossReporter: turns losses of changes into log lines the host can match,
// "Lost changes: <kind> x<count> on <root>", at most one line per root and
// kind per second. Counts that arrive while a line is held back wait for the
// next line of their root and kind, for a later Poll, or for the watch's end.
#ifndef TERNFILEMON_DIRECTORYCHANGES_LOSSREPORTER_H
#define TERNFILEMON_DIRECTORYCHANGES_LOSSREPORTER_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"

namespace tern {

// The kinds of loss, in the order of TernFileMonHealth.h's TERN_LOSS_* values.
enum class ELossKind : unsigned {
    Overflow = 0,
    RenameHalf,
    PostFailed,
    ReadFailed,
    ReadAborted,
    WatchEnded,
    Undelivered,
    Count
};

// "overflow", "rename-half", ...: the kind as the log lines name it.
const char* LossKindName(ELossKind eKind);

class CLossReporter {
public:
    // Milliseconds from any fixed point; injected so that tests need no sleep.
    typedef std::uint64_t (*ClockFunction)();
    // Receives each line; pContext is what SetLogSink was given.
    typedef void (*LogSink)(const char* pszLine, void* pContext);

    static constexpr std::uint64_t kMinLineIntervalMs = 1000;

    explicit CLossReporter(ClockFunction pfnClock);
    CLossReporter(const CLossReporter&) = delete;
    CLossReporter& operator=(const CLossReporter&) = delete;

    // The reporter the engine uses, on GetTickCount64.
    static CLossReporter& Instance();

    // The host log: lines go to the trace and, while a sink is set, to it.
    // ClearLogSink(pContext) clears only the sink set with that context, and
    // returns after any line being written through it is done.
    void SetLogSink(LogSink pfnSink, void* pContext);
    void ClearLogSink(void* pContext);

    // nCount changes of eKind were lost on strRoot.
    void NoteLoss(const ByteString& strRoot, ELossKind eKind, std::uint64_t nCount);
    // Writes the held-back counts of strRoot whose second has passed.
    void Poll(const ByteString& strRoot);
    // The watch of strRoot ends: writes every held-back count of it now.
    void FlushRoot(const ByteString& strRoot);

    static ByteString FormatLine(const ByteString& strRoot, ELossKind eKind, std::uint64_t nCount);

private:
    struct PendingLoss {
        std::uint64_t nPending = 0;
        std::uint64_t nLastLineMs = 0;
        bool bLineWritten = false;
    };
    typedef std::pair<ByteString, unsigned> Key;  // lower-cased root, kind

    static Key KeyOf(const ByteString& strRoot, ELossKind eKind);
    // Lock held: takes the pending count of one key into vecLines when due.
    void TakeIfDue(const ByteString& strRoot, ELossKind eKind, PendingLoss& pending,
                   std::uint64_t nNow, bool bForce, std::vector<ByteString>& vecLines);
    void Write(const std::vector<ByteString>& vecLines);

    const ClockFunction m_pfnClock;
    // Lock order: m_csState is never held while m_csSink is taken; each taken alone.
    CriticalSection m_csState;
    std::map<Key, PendingLoss> m_mapPending;
    CriticalSection m_csSink;  // held while a line goes to the sink
    LogSink m_pfnSink = nullptr;
    void* m_pSinkContext = nullptr;
};

}  // namespace tern

#endif
