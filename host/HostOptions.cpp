#include "HostOptions.h"

#include <cctype>
#include <cstdlib>

namespace tern {

namespace {

// The longest --duration accepted: a year, far below any overflow of the
// millisecond waits it becomes.
constexpr unsigned long MAX_DURATION_S = 366UL * 24 * 3600;

bool ParseSeconds(const std::string& strText, unsigned long& nSeconds) {
    if (strText.empty() || strText.size() > 9) return false;
    for (char ch : strText) {
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    }
    nSeconds = std::strtoul(strText.c_str(), nullptr, 10);
    return nSeconds > 0 && nSeconds <= MAX_DURATION_S;
}

bool IsDriveLetter(const std::string& strText) {
    const bool bLetter = !strText.empty() && std::isalpha(static_cast<unsigned char>(strText[0]));
    return bLetter && (strText.size() == 1 || strText == std::string(1, strText[0]) + ":" ||
                       strText == std::string(1, strText[0]) + ":\\");
}

// Splits "--name=value" into its two parts; a bare "--name" keeps value empty.
void SplitOption(const std::string& strArg, std::string& strName, std::string& strValue,
                 bool& bHasValue) {
    const size_t nEqual = strArg.find('=');
    bHasValue = strArg.compare(0, 2, "--") == 0 && nEqual != std::string::npos;
    strName = bHasValue ? strArg.substr(0, nEqual) : strArg;
    strValue = bHasValue ? strArg.substr(nEqual + 1) : std::string();
}

class ArgumentReader {
public:
    explicit ArgumentReader(const std::vector<std::string>& vecArgs) : m_vecArgs(vecArgs) {}

    bool AtEnd() const { return m_nNext >= m_vecArgs.size(); }
    const std::string& Next() { return m_vecArgs[m_nNext++]; }

    // The value of an option that needs one: "--x=value" or "--x value".
    bool TakeValue(const std::string& strName, bool bHasValue, std::string& strValue,
                   std::string& strError) {
        if (!bHasValue && !AtEnd()) strValue = Next();
        if (!strValue.empty()) return true;
        strError = "option " + strName + " needs a value";
        return false;
    }

private:
    const std::vector<std::string>& m_vecArgs;
    size_t m_nNext = 0;
};

bool IsCheckOnly(const std::string& strName) {
    return strName == "--action" || strName == "--path" || strName == "--source" ||
           strName == "--target" || strName == "--monitor" || strName == "--add-drive" ||
           strName == "--explain";
}

bool IsFlag(const std::string& strName) {
    return strName == "--json" || strName == "--trace" || strName == "--explain";
}

bool& FlagField(const std::string& strName, HostOptions& options) {
    if (strName == "--json") return options.bJson;
    return strName == "--trace" ? options.bTrace : options.bExplain;
}

bool ApplyValueOption(const std::string& strName, const std::string& strValue,
                      HostOptions& options, std::string& strError) {
    if (strName == "--rules") {
        options.strRulesFile = strValue;
    } else if (strName == "--duration") {
        if (!ParseSeconds(strValue, options.nDurationS)) {
            strError = "option --duration needs a whole number of seconds from 1 to " +
                       std::to_string(MAX_DURATION_S) + ", not '" + strValue + "'";
            return false;
        }
    } else if (strName == "--format") {
        if (strValue != "ecs" && strValue != "plain") {
            strError = "option --format takes ecs or plain, not '" + strValue + "'";
            return false;
        }
        options.bEcs = strValue == "ecs";
    } else if (strName == "--stats") {
        if (!ParseSeconds(strValue, options.nStatsS)) {
            strError = "option --stats needs a whole number of seconds from 1 to " +
                       std::to_string(MAX_DURATION_S) + ", not '" + strValue + "'";
            return false;
        }
    } else if (strName == "--record") {
        options.strRecordFile = strValue;
    } else if (strName == "--action") {
        options.strAction = strValue;
    } else if (strName == "--path") {
        options.strPath = strValue;
    } else if (strName == "--source") {
        options.strSource = strValue;
    } else if (strName == "--target") {
        options.strTarget = strValue;
    } else if (strName == "--monitor") {
        if (strValue != "usb" && strValue != "local") {
            strError = "option --monitor takes usb or local, not '" + strValue + "'";
            return false;
        }
        options.strCheckMonitor = strValue;
    } else if (strName == "--add-drive") {
        if (!IsDriveLetter(strValue)) {
            strError = "option --add-drive takes a drive letter (E, E: or E:\\), not '" +
                       strValue + "'";
            return false;
        }
        options.vecAddDrives.push_back(
            static_cast<char>(std::toupper(static_cast<unsigned char>(strValue[0]))));
    }
    return true;
}

bool CheckModeComplete(const HostOptions& options, std::string& strError) {
    if (options.strAction.empty()) {
        strError = "check needs --action (Add, Copy, Delete, Modify or Rename)";
        return false;
    }
    if (options.strPath.empty() && (options.strSource.empty() || options.strTarget.empty())) {
        strError = "check needs --path, or --source and --target";
        return false;
    }
    return true;
}

}  // namespace

bool ParseHostOptions(const std::vector<std::string>& vecArgs, HostOptions& options,
                      std::string& strError) {
    options = HostOptions();
    ArgumentReader reader(vecArgs);
    bool bFirst = true;
    while (!reader.AtEnd()) {
        const std::string& strArg = reader.Next();
        const bool bWasFirst = bFirst;
        bFirst = false;
        if (bWasFirst && (strArg == "watch" || strArg == "check" || strArg == "replay")) {
            options.eMode = strArg == "check"    ? HostMode::Check
                            : strArg == "replay" ? HostMode::Replay
                                                 : HostMode::Watch;
            continue;
        }
        if (options.eMode == HostMode::Replay && options.strReplayFile.empty() && strArg.compare(0, 1, "-") != 0) {
            options.strReplayFile = strArg;
            continue;
        }
        std::string strName, strValue;
        bool bHasValue = false;
        SplitOption(strArg, strName, strValue, bHasValue);
        if (strName == "--help" || strName == "-h" || strName == "/?") {
            options.eMode = HostMode::Help;
            return true;
        }
        if (IsCheckOnly(strName) && options.eMode != HostMode::Check) {
            strError = "option " + strName + " belongs to check mode (ternwatch check ...)";
            return false;
        }
        if (strName == "--trace" && options.eMode == HostMode::Replay) {
            strError = "option --trace belongs to watch and check modes";
            return false;
        }
        if (IsFlag(strName)) {
            if (bHasValue) {
                strError = "option " + strName + " takes no value";
                return false;
            }
            FlagField(strName, options) = true;
            continue;
        }
        const bool bValueOption = strName == "--rules" || strName == "--duration" ||
                                  strName == "--format" || strName == "--stats" ||
                                  strName == "--record" || IsCheckOnly(strName);
        if (!bValueOption) {
            strError = strArg.compare(0, 1, "-") == 0 ? "unknown option '" + strArg + "'"
                                                      : "unexpected argument '" + strArg + "'";
            return false;
        }
        const bool bWatchOnly =
            strName == "--duration" || strName == "--format" || strName == "--stats" || strName == "--record";
        const bool bReplayToo = strName == "--format";
        if (bWatchOnly && options.eMode != HostMode::Watch && !(bReplayToo && options.eMode == HostMode::Replay)) {
            strError = "option " + strName + " belongs to watch mode";
            return false;
        }
        if (!reader.TakeValue(strName, bHasValue, strValue, strError)) return false;
        if (!ApplyValueOption(strName, strValue, options, strError)) return false;
    }
    if (options.bEcs && !options.bJson) {
        strError = "option --format ecs needs --json";
        return false;
    }
    if (options.eMode == HostMode::Replay && options.strReplayFile.empty()) {
        strError = "replay needs a recording (ternwatch replay FILE --rules RULES.ini)";
        return false;
    }
    return options.eMode != HostMode::Check || CheckModeComplete(options, strError);
}

const char* HostUsageText() {
    return "Usage:\n"
           "  ternwatch [watch] [--rules FILE] [--json [--format ecs]] [--duration N]\n"
           "                  [--stats N] [--record FILE] [--trace]\n"
           "  ternwatch check --action ACTION (--path PATH | --source PATH --target PATH)\n"
           "                  [--rules FILE] [--monitor usb|local] [--add-drive X] [--explain]\n"
           "                  [--trace]\n"
           "  ternwatch replay FILE [--rules FILE] [--json [--format ecs]]\n"
           "  ternwatch --help\n"
           "\n"
           "Loads TernFileMon.dll from the folder of ternwatch.exe, the way a product does.\n"
           "\n"
           "watch (the default) starts every monitor type that the rules file names\n"
           "(usb: removable drives and USB disks; local: the other fixed disks) and\n"
           "prints each report as it arrives, one line each. It stops on Ctrl+C, on\n"
           "closing the console or after --duration, stops each started type, releases\n"
           "the component, prints how many reports of each action it saw and exits 0.\n"
           "\n"
           "check asks the component (CheckEvent) whether the rules of one monitor type\n"
           "accept the given event, and prints the answer and the accepting rule's tag.\n"
           "The component accepts only events that touch a drive root watched for usb,\n"
           "so check starts usb monitoring for the moment of the question (that\n"
           "records the removable drives); --add-drive hands a further drive letter to\n"
           "AddDrive first, which records it unless it is watched already (every fixed\n"
           "disk is).\n"
           "\n"
           "replay runs the component's own policy over a recording made with --record,\n"
           "with the recorded times and copy sources (no file system, no clock), and\n"
           "prints the reports the rules file would have produced, as a watch would.\n"
           "\n"
           "Options:\n"
           "  --rules FILE      the rules file (default: ternwatch-rules.ini beside\n"
           "                    ternwatch.exe). A malformed file is refused with its\n"
           "                    file, line and field before anything starts.\n"
           "  --json            print reports as JSON Lines: path, time, action, ruleTag,\n"
           "                    source, target and monitor, non-ASCII text as \\u escapes\n"
           "  --format ecs      with --json: one Elastic Common Schema object per report\n"
           "                    (@timestamp in UTC, event.*, file.*, rule.name, tags),\n"
           "                    text as UTF-8\n"
           "  --duration N      stop by itself after N seconds (watch only)\n"
           "  --stats N         print the component's health counters every N seconds\n"
           "                    and at exit (watch only): reads, notifications, reports\n"
           "                    and lost changes, in total and per watched root; with\n"
           "                    --json one {\"stats\":...} object on standard output\n"
           "  --record FILE     watch: write every notification the component's policy\n"
           "                    received, with its time and copy-source answer, to FILE\n"
           "                    as JSON Lines (for replay)\n"
           "  --trace           show the engine's trace lines on standard error, marked\n"
           "                    [trace]. Writes to the registry: creates the value\n"
           "                    HKEY_LOCAL_MACHINE\\SOFTWARE\\AutoTest while running (needs\n"
           "                    the right to write there) and removes it again unless it\n"
           "                    existed before.\n"
           "  --action ACTION   check: Add, Copy, Delete, Modify or Rename\n"
           "  --path PATH       check: the event's path (default for Copy and Rename:\n"
           "                    SOURCE ==> TARGET)\n"
           "  --source PATH     check: the copy or rename source\n"
           "  --target PATH     check: the copy or rename target\n"
           "  --monitor TYPE    check: whose rules to use, usb (default) or local\n"
           "  --add-drive X     check: AddDrive(X) before the question; repeatable\n"
           "  --explain         check: for both monitor types, every rule in order with\n"
           "                    the verdicts of the root gate, its pattern and its\n"
           "                    actions, and the winning rule\n"
           "  -h, --help        show this text and exit\n"
           "\n"
           "Output: reports on standard output; the component's log lines ([log];\n"
           "lines about lost changes [LOSS]),\n"
           "trace lines ([trace]) and ternwatch's own messages (ternwatch:) on\n"
           "standard error.\n"
           "\n"
           "Exit codes: 0 done (check: accepted); 1 check: not accepted; 2 bad command\n"
           "line, rules file or recording; 3 the component could not be loaded or started.\n";
}

}  // namespace tern
