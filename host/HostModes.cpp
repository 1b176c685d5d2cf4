#include "HostModes.h"

#include "ComponentHost.h"
#include "ReportPrinter.h"
#include "RulesFile.h"

namespace tern {

std::string RulesFilePath(const HostOptions& options) {
    return options.strRulesFile.empty() ? ProgramFolder() + "ternwatch-rules.ini"
                                        : options.strRulesFile;
}

bool LoadRulesForRun(const HostOptions& options, RuleSet& rules, ReportPrinter& printer) {
    std::string strError;
    if (!LoadRulesFile(RulesFilePath(options), rules, strError)) {
        printer.PrintStatus(strError);
        return false;
    }
    for (const std::string& strWarning : rules.vecWarnings) printer.PrintStatus("warning: " + strWarning);
    return true;
}

}  // namespace tern
