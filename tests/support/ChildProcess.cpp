#include "ChildProcess.h"

#include <windows.h>

#include <vector>

namespace terntest {

std::string ThisProgramPath() {
    char szPath[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    return std::string(szPath, nLength < MAX_PATH ? nLength : 0);
}

std::string ThisProgramFolder() {
    const std::string strPath = ThisProgramPath();
    const size_t nSlash = strPath.rfind('\\');
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash);
}

bool CopyBeside(const std::string& strFile, const std::string& strFolder) {
    const size_t nSlash = strFile.rfind('\\');
    const std::string strName = nSlash == std::string::npos ? strFile : strFile.substr(nSlash + 1);
    return ::CopyFileA(strFile.c_str(), (strFolder + "\\" + strName).c_str(), FALSE) != FALSE;
}

namespace {

// Reads the pipe until the child has closed its end.
std::string ReadAll(HANDLE hRead) {
    std::string strOutput;
    char szBuffer[4096];
    DWORD nRead = 0;
    while (::ReadFile(hRead, szBuffer, sizeof(szBuffer), &nRead, nullptr) && nRead > 0) {
        strOutput.append(szBuffer, nRead);
    }
    return strOutput;
}

struct ReaderParam {
    HANDLE hRead;
    std::string strOutput;
};

DWORD WINAPI ReaderThread(LPVOID pParam) {
    ReaderParam* pReader = static_cast<ReaderParam*>(pParam);
    pReader->strOutput = ReadAll(pReader->hRead);
    return 0;
}

}  // namespace

ChildResult RunCopyOfThisProgram(const std::string& strFolder, const std::string& strFilter,
                                 const std::string& strEnvName, const std::string& strEnvValue,
                                 unsigned long nTimeoutMs) {
    ChildResult result;
    const std::string strSelf = ThisProgramPath();
    if (!CopyBeside(strSelf, strFolder)) return result;
    const std::string strCopy = strFolder + strSelf.substr(strSelf.rfind('\\'));

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    if (!::CreatePipe(&hRead, &hWrite, &inherit, 0)) return result;
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = hWrite;
    startup.hStdError = hWrite;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string strCommand = "\"" + strCopy + "\" --gtest_filter=" + strFilter;
    std::vector<char> commandLine(strCommand.begin(), strCommand.end());
    commandLine.push_back('\0');

    ::SetEnvironmentVariableA(strEnvName.c_str(), strEnvValue.c_str());
    PROCESS_INFORMATION process = {};
    const BOOL bCreated = ::CreateProcessA(strCopy.c_str(), commandLine.data(), nullptr, nullptr,
                                           TRUE, 0, nullptr, strFolder.c_str(), &startup, &process);
    ::SetEnvironmentVariableA(strEnvName.c_str(), nullptr);
    ::CloseHandle(hWrite);
    if (!bCreated) {
        ::CloseHandle(hRead);
        return result;
    }
    result.bStarted = true;
    ReaderParam reader = {hRead, std::string()};
    HANDLE hReader = ::CreateThread(nullptr, 0, ReaderThread, &reader, 0, nullptr);
    if (::WaitForSingleObject(process.hProcess, nTimeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 0xDEAD);
        ::WaitForSingleObject(process.hProcess, 5000);
    }
    ::GetExitCodeProcess(process.hProcess, &result.nExitCode);
    if (hReader != nullptr) {
        ::WaitForSingleObject(hReader, 5000);
        ::CloseHandle(hReader);
    }
    result.strOutput = reader.strOutput;
    ::CloseHandle(hRead);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return result;
}

bool AllPassed(const ChildResult& result, int nTests) {
    const std::string strPassed = "[  PASSED  ] " + std::to_string(nTests) +
                                  (nTests == 1 ? " test." : " tests.");
    return result.bStarted && result.nExitCode == 0 &&
           result.strOutput.find(strPassed) != std::string::npos &&
           result.strOutput.find("[  SKIPPED ]") == std::string::npos;
}

}  // namespace terntest
