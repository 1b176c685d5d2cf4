// Runs a program of the build, or a copy of this test program, with its
// standard output and error captured.
#ifndef TERNFILEMON_TESTS_PROGRAMRUN_H
#define TERNFILEMON_TESTS_PROGRAMRUN_H

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace terntest {

// The path of a program that lies beside ternwatch.exe, in the form the Wine
// harness gives it (C:\TernFileMon\...), or beside this test program.
std::string BuildProgramPath(const std::string& strFileName);

class ProgramRun {
public:
    // Starts "path" args... (each argument quoted).
    ProgramRun(const std::string& strProgram, const std::vector<std::string>& vecArgs);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool Started() const { return m_hProcess != nullptr; }
    // Waits for the end; false (and the process killed) on timeout.
    bool Wait(DWORD nTimeoutMs);
    DWORD ExitCode() const { return m_nExitCode; }
    // Complete after Wait, with line ends as "\n".
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }

private:
    HANDLE m_hProcess = nullptr;
    DWORD m_nExitCode = 0xFFFFFFFF;
    std::string m_strOut, m_strErr;
    // Set once the process has ended: the readers then stop at the end of
    // what is in the pipes, even if another process still holds a write end.
    std::atomic<bool> m_bEnded{false};
    std::thread m_outReader, m_errReader;
};

std::vector<std::string> SplitLines(const std::string& strText);

// The folder of the running program (no trailing backslash).
std::string ThisProgramFolder();
// Copies strFile into strFolder under its own name; false when it cannot.
bool CopyBeside(const std::string& strFile, const std::string& strFolder);

// For tests of behaviour that depends on where the host executable lies:
// copies this program into strFolder and runs the copy's tests named by the
// GoogleTest filter, with the environment variable strEnvName set to
// strEnvValue. True when exactly nTests ran and passed; strOutput gets what
// the copy printed.
bool RunTestsInCopy(const std::string& strFolder, const std::string& strFilter, const std::string& strEnvName,
                    const std::string& strEnvValue, int nTests, std::string& strOutput);

}  // namespace terntest

#endif
