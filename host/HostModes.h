// The two things ternwatch does, each from parsed options to exit code.
#ifndef TERNFILEMON_HOST_HOSTMODES_H
#define TERNFILEMON_HOST_HOSTMODES_H

#include <string>

#include "HostOptions.h"

namespace tern {

enum HostExitCode : int {
    EXIT_DONE = 0,          // watch: stopped cleanly; check: accepted
    EXIT_NOT_ACCEPTED = 1,  // check: not accepted
    EXIT_BAD_INPUT = 2,     // command line, rules file or recording
    EXIT_NO_COMPONENT = 3,  // the component could not be loaded or started
};

// The named event ternwatch sets once every monitor type of its rules file is
// started, so that a scripted scenario knows when to begin. Manual reset; it
// lives as long as ternwatch.
constexpr const char* WATCHING_EVENT_NAME = "Local\\TernWatch.Watching";

// The rules file to read: the one given, or ternwatch-rules.ini beside the program.
std::string RulesFilePath(const HostOptions& options);

struct RuleSet;
class ReportPrinter;
// Reads the rules file of the run and prints its warnings; prints the error
// (file, line and field) and returns false for a malformed file.
bool LoadRulesForRun(const HostOptions& options, RuleSet& rules, ReportPrinter& printer);

int RunWatch(const HostOptions& options);
int RunCheck(const HostOptions& options);
int RunReplay(const HostOptions& options);

}  // namespace tern

#endif
