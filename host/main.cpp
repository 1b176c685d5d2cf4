// ternwatch: the console host that loads TernFileMon.dll from its own folder
// exactly as a product does, starts the monitor types of a rules file and
// prints every report as it arrives.
#include <cstdio>
#include <string>
#include <vector>

#include "HostModes.h"
#include "HostOptions.h"

int main(int argc, char** argv) {
    std::vector<std::string> vecArgs(argv + 1, argv + argc);
    tern::HostOptions options;
    std::string strError;
    if (!tern::ParseHostOptions(vecArgs, options, strError)) {
        std::fprintf(stderr, "ternwatch: %s (see ternwatch --help)\n", strError.c_str());
        return tern::EXIT_BAD_INPUT;
    }
    switch (options.eMode) {
        case tern::HostMode::Help:
            std::fputs(tern::HostUsageText(), stdout);
            return tern::EXIT_DONE;
        case tern::HostMode::Check:
            return tern::RunCheck(options);
        case tern::HostMode::Replay:
            return tern::RunReplay(options);
        case tern::HostMode::Watch:
        default:
            return tern::RunWatch(options);
    }
}
