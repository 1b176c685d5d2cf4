#include "HostSession.h"

#include <gtest/gtest.h>

#include "../../TernFileMon/common/CriticalSection.h"
#include "../../TernFileMon/policy/PolicyHandler.h"

namespace terntest {
namespace {

tern::CriticalSection g_csReports;
std::vector<HostReport> g_reports;
tern::CriticalSection g_csLog;
std::vector<std::string> g_logLines;

void Collect(char chSide, FileMonEvent* pEvent) {
    tern::ScopedLock lock(g_csReports);
    g_reports.push_back({chSide, *pEvent, ::GetCurrentThreadId()});
}

void TERN_CALLBACK OnLocalReport(FileMonEvent* pEvent) { Collect('L', pEvent); }
void TERN_CALLBACK OnUsbReport(FileMonEvent* pEvent) { Collect('U', pEvent); }

int TERN_CALLBACK CollectLog(const std::string*, int, int, const char* pszText, unsigned int, int,
                             int) {
    tern::ScopedLock lock(g_csLog);
    g_logLines.emplace_back(pszText != nullptr ? pszText : "");
    return 0;
}

std::string Shorten(std::string strText, const std::string& strFolder) {
    for (size_t n = strText.find(strFolder); n != std::string::npos; n = strText.find(strFolder)) {
        strText.replace(n, strFolder.size(), "F");
    }
    return strText;
}

}  // namespace

std::vector<HostReport> Reports() {
    tern::ScopedLock lock(g_csReports);
    return g_reports;
}

void ClearReports() {
    tern::ScopedLock lock(g_csReports);
    g_reports.clear();
}

std::vector<std::string> ReportLines(const std::string& strFolder, bool bWithSides) {
    std::vector<std::string> arrLines;
    for (const HostReport& report : Reports()) {
        if (report.event.strPath.find(strFolder + "\\") == std::string::npos) continue;
        std::string strLine = std::string(1, report.chSide) + " " + report.event.strAction + " " +
                              Shorten(report.event.strPath, strFolder);
        if (bWithSides) {
            strLine += " [" + Shorten(report.event.strSource, strFolder) + "|" +
                       Shorten(report.event.strTarget, strFolder) + "]";
        }
        arrLines.push_back(strLine);
    }
    return arrLines;
}

bool WaitForReportLines(const std::string& strFolder, size_t nCount, DWORD nTimeoutMs) {
    const DWORD dwStart = ::GetTickCount();
    while (ReportLines(strFolder).size() < nCount) {
        if (::GetTickCount() - dwStart > nTimeoutMs) return false;
        ::Sleep(20);
    }
    return true;
}

FileMonRule RuleForAll(const std::string& strPattern, const std::string& strTag) {
    return FileMonRule{strPattern, "rule " + strTag, "Add|Copy|Delete|Modify|Rename", strTag};
}

HostSession::HostSession() {
    {
        tern::ScopedLock lock(g_csLog);
        g_logLines.clear();
    }
    m_hModule = ::LoadLibraryA("TernFileMon.dll");
    EXPECT_NE(m_hModule, nullptr) << "error " << ::GetLastError();
    if (m_hModule == nullptr) return;
    auto pfnCreate = TernGetExport<PFN_CreateObject>(m_hModule, "CreateObject");
    EXPECT_NE(pfnCreate, nullptr);
    if (pfnCreate == nullptr) return;
    TernInitRecord init = {CollectLog, 0};
    ICommonControl* pControl = nullptr;
    m_pMonitor = pfnCreate("ITernFileMon", &pControl, &init);
    EXPECT_NE(m_pMonitor, nullptr);
}

HostSession::~HostSession() {
    if (m_pMonitor != nullptr) {
        m_pMonitor->StopMonitoring(FILEMON_USB);
        m_pMonitor->StopMonitoring(FILEMON_LOCAL);
        EXPECT_EQ(m_pMonitor->Release(), 0u);
    }
    if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
}

bool HostSession::Start(int nType, FileMonRuleList* pRules) {
    if (m_pMonitor == nullptr || nType < 1 || nType > 2) return false;
    m_arrFilters[nType] = FileMonFilterList{nType, pRules};
    return m_pMonitor->StartMonitoring(nType == FILEMON_USB ? OnUsbReport : OnLocalReport,
                                       &m_arrFilters[nType]);
}

std::vector<std::string> HostSession::LogLines() const {
    tern::ScopedLock lock(g_csLog);
    return g_logLines;
}

void WriteTextFile(const std::string& strPath, const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE) << strPath << " error " << ::GetLastError();
    DWORD nWritten = 0;
    ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &nWritten, nullptr);
    ::CloseHandle(hFile);
    ::Sleep(150);
}

void AppendTextFile(const std::string& strPath, const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE) << strPath << " error " << ::GetLastError();
    DWORD nWritten = 0;
    ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &nWritten, nullptr);
    ::CloseHandle(hFile);
    ::Sleep(150);
}

void RenamePath(const std::string& strOld, const std::string& strNew) {
    ASSERT_TRUE(::MoveFileA(strOld.c_str(), strNew.c_str()))
        << strOld << " -> " << strNew << " error " << ::GetLastError();
    ::Sleep(150);
}

void DeletePath(const std::string& strPath) {
    ASSERT_TRUE(::DeleteFileA(strPath.c_str())) << strPath << " error " << ::GetLastError();
    ::Sleep(150);
}

void StartOfNextSecond() {
    const std::string strNow = tern::CDirectoryChangeHandler_Policy::TimeStamp();
    while (tern::CDirectoryChangeHandler_Policy::TimeStamp() == strNow) ::Sleep(5);
}

}  // namespace terntest
