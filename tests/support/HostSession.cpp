#include "HostSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "TestFiles.h"
#include "WaitUntil.h"

#include "../../TernFileMon/common/CriticalSection.h"
#include "../../TernFileMon/policy/PolicyHandler.h"

namespace terntest {
namespace {

tern::CriticalSection g_csRecords;
std::vector<HostReport> g_reports;
std::vector<HostLogCall> g_logCalls;

void Collect(char chSide, FileMonEvent* pEvent) {
    tern::ScopedLock lock(g_csRecords);
    g_reports.push_back({chSide, *pEvent, ::GetCurrentThreadId()});
}


std::string Shorten(std::string strText, const std::string& strFolder) {
    for (size_t n = strText.find(strFolder); n != std::string::npos; n = strText.find(strFolder)) {
        strText.replace(n, strFolder.size(), "F");
    }
    return strText;
}

}  // namespace

void TERN_CALLBACK RecordLocalReport(FileMonEvent* pEvent) { Collect('L', pEvent); }
void TERN_CALLBACK RecordUsbReport(FileMonEvent* pEvent) { Collect('U', pEvent); }

int TERN_CALLBACK RecordLog(const std::string* pName, int nCodeA, int nCodeB, const char* pszText,
                            unsigned int nLength, int nLevel, int nLast) {
    tern::ScopedLock lock(g_csRecords);
    g_logCalls.push_back({pName, pName != nullptr ? *pName : std::string(),
                          pszText != nullptr ? pszText : "", nCodeA, nCodeB, nLength, nLevel, nLast});
    return 0;
}

std::vector<HostReport> Reports() {
    tern::ScopedLock lock(g_csRecords);
    return g_reports;
}

std::vector<HostLogCall> LogCalls() {
    tern::ScopedLock lock(g_csRecords);
    return g_logCalls;
}

std::vector<std::string> LogLines() {
    std::vector<std::string> arrLines;
    for (const HostLogCall& call : LogCalls()) arrLines.push_back(call.strText);
    return arrLines;
}

bool Logged(const std::string& strLine) {
    const std::vector<std::string> arrLines = LogLines();
    return std::find(arrLines.begin(), arrLines.end(), strLine) != arrLines.end();
}

void ClearReportsAndLog() {
    tern::ScopedLock lock(g_csRecords);
    g_reports.clear();
    g_logCalls.clear();
}

std::vector<std::string> ReportLines(const std::string& strFolder) {
    std::vector<std::string> arrLines;
    for (const HostReport& report : Reports()) {
        if (report.event.strPath.find(strFolder + "\\") == std::string::npos) continue;
        arrLines.push_back(std::string(1, report.chSide) + " " + report.event.strAction + " " +
                           Shorten(report.event.strPath, strFolder));
    }
    return arrLines;
}

bool WaitForReportLines(const std::string& strFolder, size_t nCount, DWORD nTimeoutMs) {
    return WaitUntil([&] { return ReportLines(strFolder).size() >= nCount; }, nTimeoutMs);
}

unsigned long long LossLineSum(const std::vector<std::string>& vecLines, const std::string& strKind,
                               const std::string& strRoot) {
    const std::string strHead = "Lost changes: " + strKind + " x", strTail = " on " + strRoot;
    unsigned long long nSum = 0;
    for (const std::string& strLine : vecLines) {
        if (strLine.rfind(strHead, 0) == 0 && strLine.size() > strTail.size() &&
            strLine.compare(strLine.size() - strTail.size(), strTail.size(), strTail) == 0) {
            nSum += std::strtoull(strLine.c_str() + strHead.size(), nullptr, 10);
        }
    }
    return nSum;
}

FileMonRule RuleForAll(const std::string& strPattern, const std::string& strTag) {
    return FileMonRule{strPattern, "rule " + strTag, "Add|Copy|Delete|Modify|Rename", strTag};
}

HostSession::HostSession(bool bCreate) {
    ClearReportsAndLog();
    m_hModule = ::LoadLibraryA("TernFileMon.dll");
    EXPECT_NE(m_hModule, nullptr) << "error " << ::GetLastError();
    if (m_hModule == nullptr) return;
    m_pfnCreate = TernGetExport<PFN_CreateObject>(m_hModule, "CreateObject");
    EXPECT_NE(m_pfnCreate, nullptr);
    if (m_pfnCreate == nullptr || !bCreate) return;
    TernInitRecord init = {RecordLog, 0};
    m_pMonitor = m_pfnCreate("ITernFileMon", &m_pControl, &init);
    EXPECT_NE(m_pMonitor, nullptr);
    ClearReportsAndLog();
}

HostSession::~HostSession() {
    if (m_pMonitor != nullptr) {
        EXPECT_EQ(Close(), 0u);
    }
    if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
}

ULONG HostSession::Close(bool bStopFirst) {
    if (bStopFirst) {
        m_pMonitor->StopMonitoring(FILEMON_USB);
        m_pMonitor->StopMonitoring(FILEMON_LOCAL);
    }
    const ULONG nCount = m_pMonitor->Release();
    m_pMonitor = nullptr;
    m_pControl = nullptr;
    return nCount;
}

bool HostSession::Unload() {
    const bool bFreed = ::FreeLibrary(std::exchange(m_hModule, nullptr)) != FALSE;
    m_pfnCreate = nullptr;
    return bFreed;
}

bool HostSession::Start(int nType, FileMonRuleList* pRules, FileMonCallback pfnReport) {
    if (m_pMonitor == nullptr || nType < 1 || nType > 2) return false;
    if (pfnReport == nullptr) pfnReport = nType == FILEMON_USB ? RecordUsbReport : RecordLocalReport;
    m_arrFilters[nType] = FileMonFilterList{nType, pRules};
    return m_pMonitor->StartMonitoring(pfnReport, &m_arrFilters[nType]);
}

void PacedWrite(const std::string& strPath, const std::string& strText) {
    ASSERT_TRUE(WriteTextFile(strPath, strText)) << strPath << " error " << ::GetLastError();
    ::Sleep(150);
}

void PacedDelete(const std::string& strPath) {
    ASSERT_TRUE(::DeleteFileA(strPath.c_str())) << strPath << " error " << ::GetLastError();
    ::Sleep(150);
}

void StartOfNextSecond() {
    const std::string strNow = tern::CDirectoryChangeHandler_Policy::TimeStamp();
    while (tern::CDirectoryChangeHandler_Policy::TimeStamp() == strNow) ::Sleep(5);
}

}  // namespace terntest
