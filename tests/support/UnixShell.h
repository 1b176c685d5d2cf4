// Runs shell commands on the Linux side of Wine (tests and benchmarks only).
#ifndef TERNFILEMON_TESTS_UNIXSHELL_H
#define TERNFILEMON_TESTS_UNIXSHELL_H

#include <string>

namespace terntest {

// Runs strCommand with /bin/sh in the Unix folder behind strDirectory and
// waits (at most nTimeoutMs) until it has finished. Changes made this way come
// in bursts that Wine cannot slow down. The Unix process cannot be waited for,
// so the command leaves a marker file in the parent folder, outside the tree
// a caller watches.
bool RunUnixShellIn(const std::string& strDirectory, const std::string& strCommand,
                    unsigned long nTimeoutMs);

}  // namespace terntest

#endif
