// Runs a program of the build with its standard output and error captured.
#ifndef TERNFILEMON_TESTS_HOST_PROGRAMRUN_H
#define TERNFILEMON_TESTS_HOST_PROGRAMRUN_H

#include <windows.h>

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
    std::thread m_outReader, m_errReader;
};

std::vector<std::string> SplitLines(const std::string& strText);

}  // namespace terntest

#endif
