// A host in miniature for every test that loads TernFileMon.dll: LoadLibrary
// from beside this program, CreateObject with a log function, StartMonitoring
// with rule lists built as a host builds them, and the reports and log lines
// that its callbacks get (from whatever thread calls them).
#ifndef TERNFILEMON_TESTS_HOSTSESSION_H
#define TERNFILEMON_TESTS_HOSTSESSION_H

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

struct HostLogCall {
    const std::string* pName;
    std::string strName, strText;
    int nCodeA, nCodeB;
    unsigned nLength;
    int nLevel, nLast;
};

// Every report and log call of every session since the last Clear.
std::vector<HostReport> Reports();
std::vector<HostLogCall> LogCalls();
std::vector<std::string> LogLines();
bool Logged(const std::string& strLine);
void ClearReportsAndLog();
// The fixture's report callbacks, for tests that start monitoring themselves.
void TERN_CALLBACK RecordLocalReport(FileMonEvent* pEvent);
void TERN_CALLBACK RecordUsbReport(FileMonEvent* pEvent);
int TERN_CALLBACK RecordLog(const std::string* pName, int nCodeA, int nCodeB, const char* pszText,
                            unsigned int nLength, int nLevel, int nLast);

// "<side> <action> <path>" for each report whose path contains strFolder, with
// strFolder written as "F".
std::vector<std::string> ReportLines(const std::string& strFolder);
// Waits until ReportLines(strFolder) has at least nCount lines (bounded).
bool WaitForReportLines(const std::string& strFolder, size_t nCount, DWORD nTimeoutMs = 5000);

// The sum of N over the log lines "Lost changes: <kind> xN on <root>".
unsigned long long LossLineSum(const std::vector<std::string>& vecLines, const std::string& strKind,
                               const std::string& strRoot);

// One action per rule: "Add|Copy|Delete|Modify|Rename".
FileMonRule RuleForAll(const std::string& strPattern, const std::string& strTag);

class HostSession {
public:
    // bCreate false: the DLL only, for tests that call CreateObject themselves.
    explicit HostSession(bool bCreate = true);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    bool IsOpen() const { return m_pMonitor != nullptr; }
    HMODULE Module() const { return m_hModule; }
    PFN_CreateObject CreateObject() const { return m_pfnCreate; }
    ITernFileMon* Monitor() const { return m_pMonitor; }
    ICommonControl* Control() const { return m_pControl; }
    // With the host's own callback, or (null) the fixture's recorder of its side.
    bool Start(int nType, FileMonRuleList* pRules, FileMonCallback pfnReport = nullptr);
    // Stops both types (unless told not to) and releases the object now; the
    // count Release returned.
    ULONG Close(bool bStopFirst = true);
    // FreeLibrary now; what it returned.
    bool Unload();

private:
    HMODULE m_hModule = nullptr;
    PFN_CreateObject m_pfnCreate = nullptr;
    ITernFileMon* m_pMonitor = nullptr;
    ICommonControl* m_pControl = nullptr;
    FileMonFilterList m_arrFilters[3] = {};
};

// Small, paced file operations (Wine drops records under bursts).
void PacedWrite(const std::string& strPath, const std::string& strText);
void PacedDelete(const std::string& strPath);

// Waits for the clock's next second, so that a file's creation and its
// writing share one time stamp.
void StartOfNextSecond();

}  // namespace terntest

#endif
