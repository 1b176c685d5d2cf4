#include "LossReporter.h"

#include "../include/TernFileMonHealth.h"
#include "Trace.h"

namespace tern {

namespace {

static_assert(static_cast<unsigned>(ELossKind::Count) == TERN_LOSS_KIND_COUNT,
              "the engine's kinds of loss are the public ones");

std::uint64_t TickClock() { return ::GetTickCount64(); }

}  // namespace

const char* LossKindName(ELossKind eKind) {
    return TernLossKindName(static_cast<unsigned>(eKind));
}

CLossReporter::CLossReporter(ClockFunction pfnClock) : m_pfnClock(pfnClock) {}

namespace {
// At namespace scope for the reason given at CHealthRegistry::s_registry.
CLossReporter g_reporter(&TickClock);
}  // namespace

CLossReporter& CLossReporter::Instance() { return g_reporter; }

void CLossReporter::SetLogSink(LogSink pfnSink, void* pContext) {
    ScopedLock lock(m_csSink);
    m_pfnSink = pfnSink;
    m_pSinkContext = pContext;
}

void CLossReporter::ClearLogSink(void* pContext) {
    ScopedLock lock(m_csSink);
    if (m_pSinkContext != pContext) return;
    m_pfnSink = nullptr;
    m_pSinkContext = nullptr;
}

ByteString CLossReporter::FormatLine(const ByteString& strRoot, ELossKind eKind,
                                     std::uint64_t nCount) {
    return "Lost changes: " + ByteString(LossKindName(eKind)) + " x" + std::to_string(nCount) +
           " on " + strRoot;
}

CLossReporter::Key CLossReporter::KeyOf(const ByteString& strRoot, ELossKind eKind) {
    ByteString strLower = strRoot;
    MakeLowerInPlace(strLower);
    return Key(strLower, static_cast<unsigned>(eKind));
}

void CLossReporter::TakeIfDue(const ByteString& strRoot, ELossKind eKind, PendingLoss& pending,
                              std::uint64_t nNow, bool bForce,
                              std::vector<ByteString>& vecLines) {
    if (pending.nPending == 0) return;
    const bool bDue = !pending.bLineWritten || nNow - pending.nLastLineMs >= kMinLineIntervalMs;
    if (!bDue && !bForce) return;
    vecLines.push_back(FormatLine(strRoot, eKind, pending.nPending));
    pending.nPending = 0;
    pending.nLastLineMs = nNow;
    pending.bLineWritten = true;
}

void CLossReporter::NoteLoss(const ByteString& strRoot, ELossKind eKind, std::uint64_t nCount) {
    if (nCount == 0 || eKind >= ELossKind::Count) return;
    std::vector<ByteString> vecLines;
    {
        ScopedLock lock(m_csState);
        PendingLoss& pending = m_mapPending[KeyOf(strRoot, eKind)];
        pending.nPending += nCount;
        TakeIfDue(strRoot, eKind, pending, m_pfnClock(), false, vecLines);
    }
    Write(vecLines);
}

void CLossReporter::Poll(const ByteString& strRoot) {
    std::vector<ByteString> vecLines;
    {
        ScopedLock lock(m_csState);
        if (m_mapPending.empty()) return;
        const std::uint64_t nNow = m_pfnClock();
        for (unsigned nKind = 0; nKind < static_cast<unsigned>(ELossKind::Count); ++nKind) {
            auto it = m_mapPending.find(KeyOf(strRoot, static_cast<ELossKind>(nKind)));
            if (it == m_mapPending.end()) continue;
            TakeIfDue(strRoot, static_cast<ELossKind>(nKind), it->second, nNow, false, vecLines);
        }
    }
    Write(vecLines);
}

void CLossReporter::FlushRoot(const ByteString& strRoot) {
    std::vector<ByteString> vecLines;
    {
        ScopedLock lock(m_csState);
        const std::uint64_t nNow = m_pfnClock();
        for (unsigned nKind = 0; nKind < static_cast<unsigned>(ELossKind::Count); ++nKind) {
            auto it = m_mapPending.find(KeyOf(strRoot, static_cast<ELossKind>(nKind)));
            if (it == m_mapPending.end()) continue;
            TakeIfDue(strRoot, static_cast<ELossKind>(nKind), it->second, nNow, true, vecLines);
            // A watch of this root that starts later begins with a fresh second.
            m_mapPending.erase(it);
        }
    }
    Write(vecLines);
}

void CLossReporter::Write(const std::vector<ByteString>& vecLines) {
    if (vecLines.empty()) return;
    ScopedLock lock(m_csSink);
    for (const ByteString& strLine : vecLines) {
        TERN_TRACE(strLine.c_str());
        if (m_pfnSink != nullptr) m_pfnSink(strLine.c_str(), m_pSinkContext);
    }
}

}  // namespace tern
