// Runs a copy of the current test program from another folder: for tests of
// behaviour that depends on where the host executable lies (its installation
// root, the libraries looked for beside it).
#ifndef TERNFILEMON_TESTS_CHILDPROCESS_H
#define TERNFILEMON_TESTS_CHILDPROCESS_H

#include <string>

namespace terntest {

struct ChildResult {
    bool bStarted = false;
    unsigned long nExitCode = 0;
    std::string strOutput;  // stdout and stderr of the child
};

// The full path of the running program and its folder (no trailing backslash).
std::string ThisProgramPath();
std::string ThisProgramFolder();

// Copies strFile into strFolder under its own name; false when it cannot.
bool CopyBeside(const std::string& strFile, const std::string& strFolder);

// Copies this program into strFolder and runs the copy with the given GoogleTest
// filter, the environment variable strEnvName set to strEnvValue; waits up to
// nTimeoutMs (then the child is terminated and the result says so by exit code).
ChildResult RunCopyOfThisProgram(const std::string& strFolder, const std::string& strFilter,
                                 const std::string& strEnvName, const std::string& strEnvValue,
                                 unsigned long nTimeoutMs);

// True when the output says that exactly nTests tests ran and all passed.
bool AllPassed(const ChildResult& result, int nTests);

}  // namespace terntest

#endif
