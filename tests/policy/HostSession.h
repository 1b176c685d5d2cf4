// A host in miniature for the end-to-end tests: loads TernFileMon.dll from
// beside this program, creates the component, starts monitor types with rule
// lists built as a host builds them, and collects the reports its callbacks get.
#ifndef TERNFILEMON_TESTS_POLICY_HOSTSESSION_H
#define TERNFILEMON_TESTS_POLICY_HOSTSESSION_H

#include <windows.h>

#include <string>
#include <vector>

#include "TernFileMon.h"

namespace terntest {

struct HostReport {
    char chSide;  // 'L' from the FILEMON_LOCAL callback, 'U' from the FILEMON_USB one
    FileMonEvent event;
    DWORD dwThreadId;
};

// Every report of every session since the last ClearReports (callbacks run on
// the component's notification thread).
std::vector<HostReport> Reports();
void ClearReports();

// "<side> <action> <path>" for each report whose path contains strFolder, with
// strFolder written as "F"; the source and target when bWithSides is set.
std::vector<std::string> ReportLines(const std::string& strFolder, bool bWithSides = false);
// Waits until ReportLines(strFolder) has at least nCount lines (bounded).
bool WaitForReportLines(const std::string& strFolder, size_t nCount, DWORD nTimeoutMs = 5000);

// One action per rule: "Add|Copy|Delete|Modify|Rename".
FileMonRule RuleForAll(const std::string& strPattern, const std::string& strTag);

class HostSession {
public:
    HostSession();
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    bool IsOpen() const { return m_pMonitor != nullptr; }
    ITernFileMon* Monitor() const { return m_pMonitor; }
    bool Start(int nType, FileMonRuleList* pRules);
    std::vector<std::string> LogLines() const;

private:
    HMODULE m_hModule = nullptr;
    ITernFileMon* m_pMonitor = nullptr;
    FileMonFilterList m_arrFilters[3] = {};
};

// Small, paced file operations (Wine drops records under bursts).
void WriteTextFile(const std::string& strPath, const std::string& strText);
void AppendTextFile(const std::string& strPath, const std::string& strText);
void RenamePath(const std::string& strOld, const std::string& strNew);
void DeletePath(const std::string& strPath);

// Waits for the clock's next second, so that a file's creation and its
// writing share one time stamp.
void StartOfNextSecond();

}  // namespace terntest

#endif
