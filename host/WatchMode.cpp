#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "ComponentHost.h"
#include "HealthStats.h"
#include "HostModes.h"
#include "RecordFile.h"
#include "ReportPrinter.h"
#include "RulesFile.h"
#include "StopSignal.h"
#include "TernFileMonReplay.h"
#include "TraceSession.h"
#include "Win32Handles.h"

namespace tern {

namespace {

// --record: the recorder has no context argument either. Notes arrive on the
// notification thread, one at a time.
std::atomic<RecordWriter*> g_pRecordWriter{nullptr};

void TERN_CALLBACK OnPolicyNote(const TernPolicyNote* pNote) {
    RecordWriter* pWriter = g_pRecordWriter.load();
    if (pWriter != nullptr && pNote != nullptr) pWriter->Write(*pNote);
}

bool HasWildcardRule(const RuleSet& rules) {
    for (const FileMonRuleList* pList : {&rules.lstUsb, &rules.lstLocal}) {
        for (const FileMonRule& rule : *pList) {
            if (rule.strPattern.find('*') != std::string::npos) return true;
        }
    }
    return false;
}

void WarnWithoutMatcher(const RuleSet& rules, ReportPrinter& printer) {
    const std::string strRegex = ProgramFolder() + "regex.dll";
    if (HasWildcardRule(rules) && ::GetFileAttributesA(strRegex.c_str()) == INVALID_FILE_ATTRIBUTES) {
        printer.PrintStatus("warning: " + strRegex +
                            " is missing: rules whose pattern contains * will never match");
    }
}

struct MonitorType {
    int nType;
    const char* pszName;
    FileMonCallback pfnCallback;
    FileMonRuleList* pRules;
    FileMonFilterList filter;
    bool bStarted;
};

std::string DurationText(unsigned long nSeconds) {
    return nSeconds == 0 ? std::string("Ctrl+C stops")
                         : "stopping after " + std::to_string(nSeconds) + " s or on Ctrl+C";
}

// The health counters as they are now; null when the DLL gives none.
std::unique_ptr<TernHealthRecord> ReadHealth(const ComponentHost& host) {
    auto pRecord = std::make_unique<TernHealthRecord>();
    if (!host.ReadHealth(*pRecord)) return nullptr;
    return pRecord;
}

void PrintStats(const ComponentHost& host, ReportPrinter& printer) {
    const std::unique_ptr<TernHealthRecord> pRecord = ReadHealth(host);
    if (pRecord == nullptr) {
        printer.PrintStatus("the component gives no health counters");
        return;
    }
    printer.PrintStats(FormatStatsReadable(*pRecord), FormatStatsJson(*pRecord));
}

// Waits for a stop request (true) or the end of the duration (false), and
// prints the counters every --stats seconds meanwhile.
bool WaitForStopPrintingStats(const StopSignal& stopSignal, const HostOptions& options,
                              const ComponentHost& host, ReportPrinter& printer) {
    const ULONGLONG nEnd =
        options.nDurationS == 0 ? 0 : ::GetTickCount64() + options.nDurationS * 1000ULL;
    for (;;) {
        ULONGLONG nWait = INFINITE;
        if (nEnd != 0) {
            const ULONGLONG nNow = ::GetTickCount64();
            if (nNow >= nEnd) return false;
            nWait = nEnd - nNow;
        }
        if (options.nStatsS != 0 && options.nStatsS * 1000ULL < nWait) nWait = options.nStatsS * 1000ULL;
        if (stopSignal.WaitForStop(static_cast<DWORD>(nWait))) return true;
        if (nEnd != 0 && ::GetTickCount64() >= nEnd) return false;
        PrintStats(host, printer);
    }
}

}  // namespace

int RunWatch(const HostOptions& options) {
    ReportPrinter printer(options.bJson);
    RuleSet rules;
    if (!LoadRulesForRun(options, rules, printer)) return EXIT_BAD_INPUT;
    if (options.bEcs) printer.UseEcs(RuleNamesOf(rules.lstUsb, rules.lstLocal));
    std::string strError;
    WarnWithoutMatcher(rules, printer);

    TraceSession trace(printer);
    if (options.bTrace && !trace.Start(strError)) {
        printer.PrintStatus(strError);
        return EXIT_BAD_INPUT;
    }

    RecordWriter recording;  // outlives the component: written until the last Release
    if (!options.strRecordFile.empty() && !recording.Open(options.strRecordFile, strError)) {
        printer.PrintStatus(strError);
        return EXIT_BAD_INPUT;
    }

    StopSignal stopSignal;
    const ReportCallbacks callbacks(printer);  // until the component is released
    ComponentHost host(printer);
    if (!host.Load(ProgramFolder(), strError)) {
        printer.PrintStatus(strError);
        return EXIT_NO_COMPONENT;
    }
    PFN_SetPolicyRecorder pfnSetRecorder = nullptr;
    if (!options.strRecordFile.empty()) {
        pfnSetRecorder = TernGetExport<PFN_SetPolicyRecorder>(host.Module(), "SetPolicyRecorder");
        if (pfnSetRecorder == nullptr) {
            printer.PrintStatus("TernFileMon.dll has no export SetPolicyRecorder: cannot record");
            return EXIT_NO_COMPONENT;
        }
        g_pRecordWriter.store(&recording);
        pfnSetRecorder(OnPolicyNote);
    }

    std::vector<MonitorType> vecTypes = {
        {FILEMON_USB, "usb", ReportCallbacks::OnUsbReport, &rules.lstUsb,
         {FILEMON_USB, &rules.lstUsb}, false},
        {FILEMON_LOCAL, "local", ReportCallbacks::OnLocalReport, &rules.lstLocal,
         {FILEMON_LOCAL, &rules.lstLocal}, false}};
    std::string strWatching;
    for (MonitorType& type : vecTypes) {
        if (type.pRules->empty()) continue;
        type.bStarted = host.Monitor()->StartMonitoring(type.pfnCallback, &type.filter);
        if (!type.bStarted) {
            printer.PrintStatus(std::string("the component refused to start ") + type.pszName);
            continue;
        }
        strWatching += (strWatching.empty() ? "" : ", ") + std::string(type.pszName) + " (" +
                       std::to_string(type.pRules->size()) + " rules)";
    }
    int nExitCode = EXIT_DONE;
    if (strWatching.empty()) {
        nExitCode = EXIT_NO_COMPONENT;
    } else {
        printer.PrintStatus("watching " + strWatching + "; " + DurationText(options.nDurationS));
        UniqueHandle hWatching(::CreateEventA(nullptr, TRUE, TRUE, WATCHING_EVENT_NAME));
        const bool bStopped = WaitForStopPrintingStats(stopSignal, options, host, printer);
        printer.PrintStatus(bStopped ? std::string("stopping (") + stopSignal.Reason() + ")"
                                     : std::string("stopping (duration reached)"));
    }
    for (const MonitorType& type : vecTypes) {
        if (type.bStarted && !host.Monitor()->StopMonitoring(type.nType)) {
            printer.PrintStatus(std::string("StopMonitoring refused ") + type.pszName);
        }
    }
    const unsigned long nLeft = host.ReleaseComponent();
    if (pfnSetRecorder != nullptr) pfnSetRecorder(nullptr);
    g_pRecordWriter.store(nullptr);
    if (nLeft != 0) printer.PrintStatus("the component kept " + std::to_string(nLeft) + " references");
    // After the last Release: the ends of the watches have counted what the
    // one-line-per-second limit still held back.
    if (options.nStatsS != 0) PrintStats(host, printer);
    const std::unique_ptr<TernHealthRecord> pHealth = ReadHealth(host);
    if (nExitCode == EXIT_DONE) {
        printer.PrintSummary(pHealth != nullptr ? LossSummary(pHealth->total) : std::string());
    }
    stopSignal.NotifyFinished();
    return nExitCode;
}

}  // namespace tern
