#include "ReportPrinter.h"

#include <atomic>

#include "EventFormat.h"
#include "HealthStats.h"

namespace tern {

namespace {

std::atomic<ReportPrinter*> g_pCallbackPrinter{nullptr};

void PrintThroughCallbackPrinter(const FileMonEvent* pEvent, const char* pszMonitor) {
    ReportPrinter* pPrinter = g_pCallbackPrinter.load();
    if (pPrinter != nullptr && pEvent != nullptr) pPrinter->PrintReport(*pEvent, pszMonitor);
}

std::string WithoutLineEnds(std::string strText) {
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r')) {
        strText.pop_back();
    }
    return strText;
}

}  // namespace

ReportPrinter::ReportPrinter(bool bJson, std::FILE* pOut, std::FILE* pErr)
    : m_bJson(bJson), m_pOut(pOut), m_pErr(pErr) {
    for (const char* pszAction : {"Add", "Copy", "Delete", "Modify", "Rename"}) {
        m_mapCounts[pszAction] = 0;
    }
}

void ReportPrinter::UseEcs(RuleNamesByTag ruleNames) {
    m_bEcs = true;
    m_ruleNames = std::move(ruleNames);
}

void ReportPrinter::PrintReport(const FileMonEvent& event, const char* pszMonitor) {
    std::string strLine;
    if (!m_bJson) {
        strLine = FormatReadableLine(event, pszMonitor);
    } else {
        strLine = m_bEcs ? FormatEcsLine(event, pszMonitor, m_ruleNames)
                         : FormatJsonLine(event, pszMonitor);
    }
    ScopedLock lock(m_csOutput);
    ++m_mapCounts[event.strAction];
    ++m_nTotal;
    WriteLine(m_pOut, strLine);
}

void ReportPrinter::PrintLog(const char* pszText, size_t nLength) {
    const std::string strText =
        pszText != nullptr ? WithoutLineEnds(std::string(pszText, nLength)) : std::string();
    const bool bLoss = strText.compare(0, sizeof(LOSS_LINE_PREFIX) - 1, LOSS_LINE_PREFIX) == 0;
    ScopedLock lock(m_csOutput);
    WriteLine(m_pErr, (bLoss ? "[LOSS] " : "[log] ") + strText);
}

void ReportPrinter::PrintTrace(const char* pszText) {
    const std::string strText = pszText != nullptr ? WithoutLineEnds(pszText) : std::string();
    ScopedLock lock(m_csOutput);
    WriteLine(m_pErr, "[trace] " + strText);
}

void ReportPrinter::PrintStatus(const std::string& strText) {
    ScopedLock lock(m_csOutput);
    WriteLine(m_pErr, "ternwatch: " + strText);
}

std::map<std::string, unsigned long> ReportPrinter::CountsByAction() const {
    ScopedLock lock(m_csOutput);
    return m_mapCounts;
}

unsigned long ReportPrinter::TotalReports() const {
    ScopedLock lock(m_csOutput);
    return m_nTotal;
}

std::string ReportPrinter::SummaryLine() const {
    std::map<std::string, unsigned long> mapCounts = CountsByAction();
    std::string strLine = std::to_string(TotalReports()) + " reports:";
    bool bFirst = true;
    for (const auto& count : mapCounts) {
        strLine += (bFirst ? " " : ", ") + (count.first.empty() ? "(none)" : count.first) + " " +
                   std::to_string(count.second);
        bFirst = false;
    }
    return strLine;
}

void ReportPrinter::PrintSummary(const std::string& strLosses) {
    const std::string strLine = SummaryLine() + (strLosses.empty() ? "" : "; " + strLosses);
    ScopedLock lock(m_csOutput);
    WriteLine(m_bJson ? m_pErr : m_pOut, m_bJson ? "ternwatch: " + strLine : strLine);
}

void ReportPrinter::PrintStats(const std::vector<std::string>& vecReadable,
                              const std::string& strJson) {
    ScopedLock lock(m_csOutput);
    if (m_bJson) {
        WriteLine(m_pOut, strJson);
        return;
    }
    for (const std::string& strLine : vecReadable) WriteLine(m_pErr, "ternwatch: " + strLine);
}

void ReportPrinter::WriteLine(std::FILE* pStream, const std::string& strLine) {
    std::fwrite(strLine.data(), 1, strLine.size(), pStream);
    std::fputc('\n', pStream);
    std::fflush(pStream);
}

ReportCallbacks::ReportCallbacks(ReportPrinter& printer) { g_pCallbackPrinter.store(&printer); }

ReportCallbacks::~ReportCallbacks() { g_pCallbackPrinter.store(nullptr); }

void TERN_CALLBACK ReportCallbacks::OnUsbReport(FileMonEvent* pEvent) {
    PrintThroughCallbackPrinter(pEvent, "usb");
}

void TERN_CALLBACK ReportCallbacks::OnLocalReport(FileMonEvent* pEvent) {
    PrintThroughCallbackPrinter(pEvent, "local");
}

}  // namespace tern
