#include <windows.h>

#include <ctime>

#include "ComponentHost.h"
#include "HostModes.h"
#include "ReportPrinter.h"
#include "RuleExplainer.h"
#include "RulesFile.h"
#include "TraceSession.h"

namespace tern {

namespace {

// Reports that arrive while check has usb monitoring started are not asked for.
void TERN_CALLBACK IgnoreReport(FileMonEvent* /*pEvent*/) {}

std::string NowText() {
    const std::time_t nNow = std::time(nullptr);
    std::tm local = {};
    if (localtime_s(&local, &nNow) != 0) return std::string();
    char szTime[32] = {};
    return std::strftime(szTime, sizeof(szTime), "%Y-%m-%d %H:%M:%S", &local) > 0 ? szTime : "";
}

FileMonEvent EventFromOptions(const HostOptions& options) {
    FileMonEvent event;
    event.strAction = options.strAction;
    event.strSource = options.strSource;
    event.strTarget = options.strTarget;
    event.strPath = !options.strPath.empty() ? options.strPath
                                             : options.strSource + " ==> " + options.strTarget;
    event.strTime = NowText();
    return event;
}

// Both monitor types, each rule with its verdicts, on standard output.
void PrintExplanations(ITernFileMon& monitor, const RuleSet& rules, const FileMonEvent& event) {
    std::printf("event: %s  %s\n", event.strAction.c_str(), event.strPath.c_str());
    // The root gate is the same test that sends a live report to one side.
    const bool bUsbSide = ExplainEvent(monitor, FileMonRuleList(), event).bRootGate;
    std::printf("a live report of it goes to the %s rules\n", bUsbSide ? "usb" : "local");
    const struct {
        const char* pszName;
        const FileMonRuleList* pRules;
    } types[] = {{"usb", &rules.lstUsb}, {"local", &rules.lstLocal}};
    for (const auto& type : types) {
        const Explanation explanation = ExplainEvent(monitor, *type.pRules, event);
        for (const std::string& strLine :
             FormatExplanation(explanation, *type.pRules, type.pszName)) {
            std::printf("%s\n", strLine.c_str());
        }
    }
}

}  // namespace

int RunCheck(const HostOptions& options) {
    ReportPrinter printer(false);
    RuleSet rules;
    if (!LoadRulesForRun(options, rules, printer)) return EXIT_BAD_INPUT;
    std::string strError;

    TraceSession trace(printer);
    if (options.bTrace && !trace.Start(strError)) {
        printer.PrintStatus(strError);
        return EXIT_BAD_INPUT;
    }

    ComponentHost host(printer);
    if (!host.Load(ProgramFolder(), strError)) {
        printer.PrintStatus(strError);
        return EXIT_NO_COMPONENT;
    }
    // CheckEvent accepts only events on roots recorded for usb: starting usb
    // records the removable drives, and AddDrive adds the ones asked for.
    FileMonFilterList usbFilter = {FILEMON_USB, &rules.lstUsb};
    const bool bUsbStarted = host.Monitor()->StartMonitoring(IgnoreReport, &usbFilter);
    for (char chDrive : options.vecAddDrives) {
        if (!host.Monitor()->AddDrive(&chDrive)) {
            printer.PrintStatus(std::string("AddDrive(") + chDrive + ") refused");
        }
    }
    FileMonRuleList& lstRules = options.strCheckMonitor == "local" ? rules.lstLocal : rules.lstUsb;
    FileMonEvent event = EventFromOptions(options);
    if (options.bExplain) PrintExplanations(*host.Monitor(), rules, event);
    const bool bAccepted = host.Monitor()->CheckEvent(&lstRules, &event);
    if (bUsbStarted) host.Monitor()->StopMonitoring(FILEMON_USB);
    host.ReleaseComponent();

    if (bAccepted) {
        std::printf("accepted by the %s rules, tag %s\n", options.strCheckMonitor.c_str(),
                    event.strRuleTag.c_str());
    } else {
        std::printf("not accepted by the %s rules\n", options.strCheckMonitor.c_str());
        printer.PrintStatus("note: CheckEvent accepts only events on a drive root watched for "
                            "usb (a removable drive), and only when a rule names the file and "
                            "the action");
    }
    std::fflush(stdout);
    return bAccepted ? EXIT_DONE : EXIT_NOT_ACCEPTED;
}

}  // namespace tern
