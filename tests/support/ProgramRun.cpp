#include "ProgramRun.h"

#include <algorithm>
#include <sstream>

namespace terntest {

namespace {

std::string Quote(const std::string& strArg) {
    std::string strOut = "\"";
    size_t nSlashes = 0;
    for (char ch : strArg) {
        if (ch == '\\') {
            ++nSlashes;
            continue;
        }
        strOut.append(ch == '"' ? nSlashes * 2 + 1 : nSlashes, '\\');
        nSlashes = 0;
        strOut += ch;
    }
    strOut.append(nSlashes * 2, '\\');
    return strOut + "\"";
}

// Reads until the writers are gone, or until the program has ended and its
// output is all read: a process the program started (under Wine, the desktop
// process when the program made the first window) may have inherited the write
// end and keep it open for as long as it lives.
void ReadAll(HANDLE hPipe, std::string* pText, const std::atomic<bool>* pbEnded) {
    char szBuffer[4096];
    bool bEndSeen = false;
    for (;;) {
        DWORD nAvailable = 0;
        if (!::PeekNamedPipe(hPipe, nullptr, 0, nullptr, &nAvailable, nullptr)) break;
        if (nAvailable == 0) {
            // One more look after the end was seen: what the program wrote
            // before it ended is in the pipe by then.
            if (bEndSeen) break;
            bEndSeen = pbEnded->load();
            if (!bEndSeen) ::Sleep(10);
            continue;
        }
        DWORD nRead = 0;
        const DWORD nWanted = std::min<DWORD>(sizeof(szBuffer), nAvailable);
        if (!::ReadFile(hPipe, szBuffer, nWanted, &nRead, nullptr) || nRead == 0) break;
        pText->append(szBuffer, nRead);
    }
    ::CloseHandle(hPipe);
}

bool MakePipe(HANDLE& hRead, HANDLE& hWrite) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    if (!::CreatePipe(&hRead, &hWrite, &sa, 0)) return false;
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    return true;
}

std::string ThisProgramPath() {
    char szPath[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    return std::string(szPath, nLength < MAX_PATH ? nLength : 0);
}

}  // namespace

std::string ThisProgramFolder() {
    const std::string strPath = ThisProgramPath();
    return strPath.substr(0, strPath.find_last_of("\\/"));
}

bool CopyBeside(const std::string& strFile, const std::string& strFolder) {
    const std::string strName = strFile.substr(strFile.rfind('\\') + 1);
    return ::CopyFileA(strFile.c_str(), (strFolder + "\\" + strName).c_str(), FALSE) != FALSE;
}

bool RunTestsInCopy(const std::string& strFolder, const std::string& strFilter, const std::string& strEnvName,
                    const std::string& strEnvValue, int nTests, std::string& strOutput) {
    const std::string strSelf = ThisProgramPath();
    if (!CopyBeside(strSelf, strFolder)) return false;
    ::SetEnvironmentVariableA(strEnvName.c_str(), strEnvValue.c_str());
    ProgramRun copy(strFolder + strSelf.substr(strSelf.rfind('\\')), {"--gtest_filter=" + strFilter});
    ::SetEnvironmentVariableA(strEnvName.c_str(), nullptr);
    const bool bEnded = copy.Wait(120000);
    strOutput = copy.Out() + copy.Err();
    const std::string strPassed = "[  PASSED  ] " + std::to_string(nTests) + (nTests == 1 ? " test." : " tests.");
    return bEnded && copy.ExitCode() == 0 && strOutput.find(strPassed) != std::string::npos &&
           strOutput.find("[  SKIPPED ]") == std::string::npos;
}

std::string BuildProgramPath(const std::string& strFileName) {
    const std::string strHarness = "C:\\TernFileMon\\" + strFileName;
    if (::GetFileAttributesA(strHarness.c_str()) != INVALID_FILE_ATTRIBUTES) return strHarness;
    return ThisProgramFolder() + "\\" + strFileName;
}

ProgramRun::ProgramRun(const std::string& strProgram, const std::vector<std::string>& vecArgs) {
    std::string strCommand = Quote(strProgram);
    for (const std::string& strArg : vecArgs) strCommand += " " + Quote(strArg);
    HANDLE hOutRead = nullptr, hOutWrite = nullptr, hErrRead = nullptr, hErrWrite = nullptr;
    if (!MakePipe(hOutRead, hOutWrite)) return;
    if (!MakePipe(hErrRead, hErrWrite)) {
        ::CloseHandle(hOutRead);
        ::CloseHandle(hOutWrite);
        return;
    }
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = hOutWrite;
    si.hStdError = hErrWrite;
    PROCESS_INFORMATION pi = {};
    std::vector<char> vecCommand(strCommand.begin(), strCommand.end());
    vecCommand.push_back('\0');
    // Started in its own folder: the test program's may have no drive path under Wine.
    const std::string strFolder = strProgram.substr(0, strProgram.find_last_of('\\') + 1);
    if (::CreateProcessA(nullptr, vecCommand.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         strFolder.empty() ? nullptr : strFolder.c_str(), &si, &pi)) {
        ::CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
    }
    // Only the child keeps the write ends, so the readers see the end of the output.
    ::CloseHandle(hOutWrite);
    ::CloseHandle(hErrWrite);
    m_outReader = std::thread(ReadAll, hOutRead, &m_strOut, &m_bEnded);
    m_errReader = std::thread(ReadAll, hErrRead, &m_strErr, &m_bEnded);
}

ProgramRun::~ProgramRun() { Wait(10000); }  // ends the process and joins the readers

bool ProgramRun::Wait(DWORD nTimeoutMs) {
    if (m_hProcess == nullptr) {
        m_bEnded = true;
        if (m_outReader.joinable()) m_outReader.join();
        if (m_errReader.joinable()) m_errReader.join();
        return false;
    }
    bool bEnded = ::WaitForSingleObject(m_hProcess, nTimeoutMs) == WAIT_OBJECT_0;
    if (!bEnded) {
        ::TerminateProcess(m_hProcess, 0xDEAD);
        ::WaitForSingleObject(m_hProcess, 5000);
    }
    ::GetExitCodeProcess(m_hProcess, &m_nExitCode);
    ::CloseHandle(m_hProcess);
    m_hProcess = nullptr;
    m_bEnded = true;
    if (m_outReader.joinable()) m_outReader.join();
    if (m_errReader.joinable()) m_errReader.join();
    // Console programs write text mode: compare lines, not line ends.
    for (std::string* pText : {&m_strOut, &m_strErr}) {
        pText->erase(std::remove(pText->begin(), pText->end(), '\r'), pText->end());
    }
    return bEnded;
}

std::vector<std::string> SplitLines(const std::string& strText) {
    std::vector<std::string> vecLines;
    std::istringstream stream(strText);
    for (std::string strLine; std::getline(stream, strLine);) {
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        vecLines.push_back(strLine);
    }
    return vecLines;
}

}  // namespace terntest
