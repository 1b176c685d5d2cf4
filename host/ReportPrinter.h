// Where everything ternwatch shows goes: reports on standard output, log,
// trace and status lines on standard error. The component calls in from its
// own threads (reports on the notification thread, log lines on the host's and
// the window thread), so every line is written whole, under one lock, and
// flushed at once.
#ifndef TERNFILEMON_HOST_REPORTPRINTER_H
#define TERNFILEMON_HOST_REPORTPRINTER_H

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "CriticalSection.h"
#include "EcsFormat.h"
#include "TernFileMon.h"

namespace tern {

class ReportPrinter {
public:
    ReportPrinter(bool bJson, std::FILE* pOut = stdout, std::FILE* pErr = stderr);
    ReportPrinter(const ReportPrinter&) = delete;
    ReportPrinter& operator=(const ReportPrinter&) = delete;

    // With JSON: print reports as ECS objects, naming rules by these tags.
    void UseEcs(RuleNamesByTag ruleNames);

    void PrintReport(const FileMonEvent& event, const char* pszMonitor);
    // A line of the component log; line ends of the text are dropped. Lines
    // of lost changes are marked [LOSS] instead of [log].
    void PrintLog(const char* pszText, size_t nLength);
    // A line of the debugger output (the engine's trace).
    void PrintTrace(const char* pszText);
    // ternwatch's own message.
    void PrintStatus(const std::string& strText);

    // Reports seen so far, per action, and their total.
    std::map<std::string, unsigned long> CountsByAction() const;
    unsigned long TotalReports() const;
    // "N reports: Add a, Copy c, Delete d, Modify m, Rename r" (other actions appended).
    std::string SummaryLine() const;
    // The summary line: on standard output after readable reports, on
    // standard error after JSON Lines (which stay pure JSON).
    // strLosses ("lost 3: overflow 3") follows the report counts after "; ".
    void PrintSummary(const std::string& strLosses = std::string());
    // The health counters: readable lines on standard error, or one JSON
    // object on standard output among the JSON Lines.
    void PrintStats(const std::vector<std::string>& vecReadable, const std::string& strJson);

private:
    void WriteLine(std::FILE* pStream, const std::string& strLine);

    const bool m_bJson;
    bool m_bEcs = false;
    RuleNamesByTag m_ruleNames;  // set before the first report, read-only after
    std::FILE* const m_pOut;
    std::FILE* const m_pErr;
    mutable CriticalSection m_csOutput;  // the only lock of the host; held for one line
    std::map<std::string, unsigned long> m_mapCounts;
    unsigned long m_nTotal = 0;
};

// The component's report callbacks carry no context argument: while an
// object of this class lives, they print through its printer. They are called
// on the component's notification thread, one report at a time; the record
// is valid only during the call.
class ReportCallbacks {
public:
    explicit ReportCallbacks(ReportPrinter& printer);
    ~ReportCallbacks();
    ReportCallbacks(const ReportCallbacks&) = delete;
    ReportCallbacks& operator=(const ReportCallbacks&) = delete;

    static void TERN_CALLBACK OnUsbReport(FileMonEvent* pEvent);
    static void TERN_CALLBACK OnLocalReport(FileMonEvent* pEvent);
};

}  // namespace tern

#endif
