// The command line of ternwatch, parsed into one record before anything runs.
#ifndef TERNFILEMON_HOST_HOSTOPTIONS_H
#define TERNFILEMON_HOST_HOSTOPTIONS_H

#include <string>
#include <vector>

namespace tern {

enum class HostMode {
    Watch,  // start the monitor types of the rules file and print reports
    Check,  // ask CheckEvent about one event and print the answer
    Replay, // run the component's policy over a recording with the rules file
    Help,   // print the usage text
};

struct HostOptions {
    HostMode eMode = HostMode::Watch;
    std::string strRulesFile;      // empty: ternwatch-rules.ini beside the program
    bool bJson = false;            // reports as JSON Lines
    bool bTrace = false;           // engine trace on standard error (writes HKLM)
    unsigned long nDurationS = 0;  // 0: until Ctrl+C or console close
    bool bEcs = false;             // with --json: Elastic Common Schema objects (--format ecs)
    unsigned long nStatsS = 0;     // print the health counters every N s and at exit; 0: never
    std::string strRecordFile;     // watch: write the policy's notes there (--record)
    std::string strReplayFile;     // replay: the recording to replay

    // Check mode: the event to ask about.
    std::string strAction;
    std::string strPath;
    std::string strSource;
    std::string strTarget;
    std::string strCheckMonitor = "usb";  // whose rules: "usb" or "local"
    std::vector<char> vecAddDrives;       // drive letters handed to AddDrive first
    bool bExplain = false;                // every rule's verdicts, for both monitor types
};

// Parses argv[1..]; on failure returns false with a one-line message that
// names the offending argument.
bool ParseHostOptions(const std::vector<std::string>& vecArgs, HostOptions& options,
                      std::string& strError);

// The --help text.
const char* HostUsageText();

}  // namespace tern

#endif
