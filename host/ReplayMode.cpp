// ternwatch replay: the component's own policy over a recording, with the
// rules of a rules file, printed as a watch prints its reports.
#include <cstdio>
#include <memory>

#include "ComponentHost.h"
#include "HostModes.h"
#include "RecordFile.h"
#include "ReportPrinter.h"
#include "RulesFile.h"
#include "TernFileMonReplay.h"

namespace tern {

namespace {

const TernPolicyNote* TERN_CALLBACK NextNote(void* pContext) {
    RecordReader* pReader = static_cast<RecordReader*>(pContext);
    return pReader->Next() ? &pReader->Note() : nullptr;
}

struct FileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
typedef std::unique_ptr<std::FILE, FileCloser> UniqueFile;

// The whole recording is read once before anything is replayed, so that a
// malformed line is refused before the first report.
bool CheckRecording(const std::string& strFile, ReportPrinter& printer) {
    UniqueFile pFile(std::fopen(strFile.c_str(), "rb"));
    if (!pFile) {
        printer.PrintStatus("cannot read the recording " + strFile);
        return false;
    }
    RecordReader reader(pFile.get(), strFile);
    while (reader.Next()) {
    }
    if (!reader.Error().empty()) printer.PrintStatus(reader.Error());
    return reader.Error().empty();
}

}  // namespace

int RunReplay(const HostOptions& options) {
    ReportPrinter printer(options.bJson);
    RuleSet rules;
    if (!LoadRulesForRun(options, rules, printer)) return EXIT_BAD_INPUT;
    if (options.bEcs) printer.UseEcs(RuleNamesOf(rules.lstUsb, rules.lstLocal));
    if (!CheckRecording(options.strReplayFile, printer)) return EXIT_BAD_INPUT;

    ComponentHost host(printer);
    std::string strError;
    if (!host.LoadModule(ProgramFolder(), strError)) {
        printer.PrintStatus(strError);
        return EXIT_NO_COMPONENT;
    }
    auto pfnReplay = TernGetExport<PFN_ReplayPolicyNotes>(host.Module(), "ReplayPolicyNotes");
    if (pfnReplay == nullptr) {
        printer.PrintStatus("TernFileMon.dll has no export ReplayPolicyNotes");
        return EXIT_NO_COMPONENT;
    }
    // As a watch starts only the monitor types its rules name.
    const bool bUsb = !rules.lstUsb.empty();
    const bool bLocal = !rules.lstLocal.empty();
    const TernReplaySetup setup = {sizeof(TernReplaySetup),
                                   bUsb ? &rules.lstUsb : nullptr,
                                   bUsb ? ReportCallbacks::OnUsbReport : nullptr,
                                   bLocal ? &rules.lstLocal : nullptr,
                                   bLocal ? ReportCallbacks::OnLocalReport : nullptr};
    UniqueFile pFile(std::fopen(options.strReplayFile.c_str(), "rb"));
    if (!pFile) {
        printer.PrintStatus("cannot read the recording " + options.strReplayFile);
        return EXIT_BAD_INPUT;
    }
    RecordReader reader(pFile.get(), options.strReplayFile);
    int nResult = 0;
    {
        const ReportCallbacks callbacks(printer);
        nResult = pfnReplay(&setup, NextNote, &reader);
    }
    if (!reader.Error().empty()) {
        printer.PrintStatus(reader.Error());
        return EXIT_BAD_INPUT;
    }
    if (nResult != TERN_REPLAY_OK) {
        printer.PrintStatus("the component refused the replay (error " + std::to_string(nResult) + ")");
        return EXIT_NO_COMPONENT;
    }
    printer.PrintSummary();
    return EXIT_DONE;
}

}  // namespace tern
