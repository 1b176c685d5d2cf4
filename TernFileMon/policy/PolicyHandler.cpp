#include "PolicyHandler.h"

#include <windows.h>

#include <atomic>
#include <ctime>

#include "../DirectoryChanges/WatchHealth.h"
#include "../copy/ClipboardBuffer.h"
#include "../filemon/FileMonitor.h"

namespace tern {
namespace {

constexpr char kArrow[] = " ==> ";

std::atomic<std::uint32_t> g_nHandlersMade{0};

// Position of the first occurrence of pszWhat in strPath (case-sensitive),
// -1 when there is none. The office rules compare it with small thresholds.
long long IndexOf(const ByteString& strPath, const char* pszWhat) {
    const size_t nIndex = strPath.find(pszWhat);
    return nIndex == ByteString::npos ? -1 : static_cast<long long>(nIndex);
}

bool Contains(const ByteString& strPath, const char* pszWhat) {
    return IndexOf(strPath, pszWhat) >= 0;
}

// A word processor saves through "~WRD....tmp" in the document's folder.
bool IsWordTempFile(const ByteString& strPath) {
    return IndexOf(strPath, ".tmp") > 8 && IndexOf(strPath, "~WRD") > 0;
}

bool IsWordBackupFile(const ByteString& strPath) {
    return IndexOf(strPath, ".tmp") > 8 && IndexOf(strPath, "~WRL") > 0;
}

bool IsPresentationTempFile(const ByteString& strPath) {
    return Contains(strPath, "ppt") && IndexOf(strPath, ".tmp") > 2;
}

// A spreadsheet saves into a temporary file without any extension and renames
// it onto the workbook.
bool IsSpreadsheetSave(const ByteString& strOldPath, const ByteString& strNewPath) {
    return strOldPath.find('.') == ByteString::npos && IndexOf(strNewPath, ".xls") > 0;
}

bool IsSpreadsheetOrPresentation(const ByteString& strPath) {
    return IndexOf(strPath, ".xls") > 0 || IndexOf(strPath, ".ppt") > 0;
}

ByteString CutAtLastBackslash(const ByteString& strPath) {
    const size_t nSlash = strPath.rfind('\\');
    return nSlash == ByteString::npos ? strPath : strPath.substr(0, nSlash);
}

}  // namespace

CDirectoryChangeHandler_Policy::CDirectoryChangeHandler_Policy(CPolicyEnvironment& environment,
                                                               ByteString strInstallRoot)
    : m_strInstallRoot(std::move(strInstallRoot)),
      m_pEnvironment(&environment),
      m_nHandlerNumber(++g_nHandlersMade) {}

CDirectoryChangeHandler_Policy::CDirectoryChangeHandler_Policy()
    : CDirectoryChangeHandler_Policy(g_livePolicyEnvironment, ByteString()) {
    char szExecutable[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szExecutable, MAX_PATH);
    m_strInstallRoot = InstallRootOf(ByteString(szExecutable, nLength < MAX_PATH ? nLength : 0));
    // The list of copied files is shared with the client's other processes; the
    // first handler makes sure the section exists. Failing that, the clipboard serves.
    CreateClipboardBuffer();
}

CDirectoryChangeHandler_Policy::~CDirectoryChangeHandler_Policy() { m_pRuleList = nullptr; }

ByteString CDirectoryChangeHandler_Policy::InstallRootOf(const ByteString& strExecutablePath) {
    ByteString strRoot = CutAtLastBackslash(CutAtLastBackslash(strExecutablePath));
    MakeLowerInPlace(strRoot);
    return strRoot;
}

ByteString CDirectoryChangeHandler_Policy::TimeStamp() {
    return TimeStampOf(g_livePolicyEnvironment.CurrentTime());
}

ByteString CDirectoryChangeHandler_Policy::TimeStampOf(__time64_t tNow) {
    struct tm localTime = {};
    if (::_localtime64_s(&localTime, &tNow) != 0) return ByteString();
    char szStamp[128] = {};
    const size_t nLength = std::strftime(szStamp, sizeof(szStamp), "%Y-%m-%d %H:%M:%S", &localTime);
    return ByteString(szStamp, nLength);
}

const ByteString& CDirectoryChangeHandler_Policy::CurrentTimeStamp() {
    // Converting to local time costs more than the rest of an addition's own
    // work here: each second's stamp is made once. Only the notification
    // thread calls this.
    const __time64_t tNow = m_pEnvironment->CurrentTime();
    if (tNow != m_tStampSecond) {
        m_strStamp = TimeStampOf(tNow);
        m_tStampSecond = tNow;
    }
    return m_strStamp;
}

bool CDirectoryChangeHandler_Policy::IsUnderInstallRoot(const ByteString& strPath) const {
    // Without a known root (no executable path) nothing is the client's own.
    if (m_strInstallRoot.empty()) return false;
    ByteString strLower = strPath;
    MakeLowerInPlace(strLower);
    return strLower.find(m_strInstallRoot) != ByteString::npos;
}

CDirectoryChangeHandler* CDirectoryChangeHandler_Policy::Create(FileMonRuleList* pRuleList) {
    CDirectoryChangeHandler_Policy* pHandler = new CDirectoryChangeHandler_Policy();
    pHandler->m_pRuleList = pRuleList;
    return pHandler;
}

void CDirectoryChangeHandler_Policy::ReportOfficeSave(const ByteString& strDocument,
                                                      const ByteString& strTime) {
    m_Event.strPath = strDocument;
    m_Event.strAction = "Modify";
    m_Event.strTime = strTime;
    m_bWordTempAdded = false;
    ReportEvent();
}

// The four file notifications let anything they raise (out of memory, a host
// callback that throws) go to the engine's dispatch, which logs it and goes
// on with the next notification.
void CDirectoryChangeHandler_Policy::OnFileAdded(const ByteString& strFileName) {
    CPolicyRecording recording(*this, TERN_NOTE_ADDED, strFileName);
    if (IsUnderInstallRoot(strFileName)) return;
    const ByteString strTime = CurrentTimeStamp();
    m_Event.strPath = strFileName;
    m_Event.strAction = "Add";
    m_Event.strTime = strTime;
    const ByteString strSource = m_pEnvironment->CopySourceOf(strFileName);
    if (!strSource.empty()) {
        m_Event.strPath = strSource + kArrow + strFileName;
        m_Event.strSource = strSource;
        m_Event.strTarget = strFileName;
        m_Event.strAction = "Copy";
        if (strSource == strFileName) return;
    }
    if (IsWordTempFile(strFileName)) m_bWordTempAdded = true;
    ReportEvent();
}

void CDirectoryChangeHandler_Policy::OnFileRenamed(const ByteString& strOldFileName,
                                                   const ByteString& strNewFileName) {
    CPolicyRecording recording(*this, TERN_NOTE_RENAMED, strOldFileName, &strNewFileName);
    if (IsUnderInstallRoot(strOldFileName)) return;
    const ByteString strTime = CurrentTimeStamp();
    m_Event.strAction = "Rename";
    m_Event.strPath = strOldFileName + kArrow + strNewFileName;
    m_Event.strSource = strOldFileName;
    m_Event.strTarget = strNewFileName;
    m_Event.strTime = strTime;

    // The office rules, in this order; the first that applies decides.
    if (IsPresentationTempFile(strOldFileName)) return;
    if (IsSpreadsheetSave(strOldFileName, strNewFileName)) {
        ReportOfficeSave(strNewFileName, strTime);
        return;
    }
    if (IsWordTempFile(strOldFileName)) {
        if (m_bWordTempAdded) ReportOfficeSave(strNewFileName, strTime);
        return;
    }
    if (IsWordBackupFile(strNewFileName)) return;
    ReportEvent();
}

void CDirectoryChangeHandler_Policy::OnFileRemoved(const ByteString& strFileName) {
    CPolicyRecording recording(*this, TERN_NOTE_REMOVED, strFileName);
    if (IsUnderInstallRoot(strFileName)) return;
    const ByteString strPreviousAction = m_Event.strAction;
    m_Event.strPath = strFileName;
    m_Event.strAction = "Delete";
    m_Event.strTime = CurrentTimeStamp();
    // The workbook a save has just reported as modified loses its old copy.
    if (m_Event.strPath == m_Event.strTarget && strPreviousAction == "Modify" &&
        IsSpreadsheetOrPresentation(strFileName)) {
        return;
    }
    ReportEvent();
}

void CDirectoryChangeHandler_Policy::OnFileModified(const ByteString& strFileName) {
    CPolicyRecording recording(*this, TERN_NOTE_MODIFIED, strFileName);
    if (IsUnderInstallRoot(strFileName)) return;
    FileMonEvent modified;
    modified.strPath = strFileName;
    modified.strAction = "Modify";
    modified.strTime = CurrentTimeStamp();

    // Echoes: the same second as the action that wrote the file.
    if (modified.strTime == m_Event.strTime) {
        if (strFileName == m_Event.strPath && m_Event.strAction == "Add") return;
        const bool bSourceOrTarget =
            strFileName == m_Event.strTarget || strFileName == m_Event.strSource;
        if (bSourceOrTarget && (m_Event.strAction == "Copy" || m_Event.strAction == "Rename")) {
            return;
        }
    }

    CFileMonitor* pMonitor = g_pFileMonitor;
    if (pMonitor == nullptr) return;
    const FileMonCallback pfnLocal = pMonitor->m_pfnLocalCallback;
    const bool bLocal =
        pfnLocal != nullptr && pMonitor->MatchModifyEvent(&modified, m_pRuleList, false, 1);
    if (bLocal) pfnLocal(&modified);
    pMonitor = g_pFileMonitor;  // the callback may have made the last Release
    if (pMonitor == nullptr) return;
    const FileMonCallback pfnUsb = pMonitor->m_pfnUsbCallback;
    const bool bUsb =
        pfnUsb != nullptr && pMonitor->MatchModifyEvent(&modified, m_pRuleList, true, 1);
    if (bUsb) pfnUsb(&modified);
    NoteReportOffered(bLocal, bUsb);
}

void CDirectoryChangeHandler_Policy::OnWatchStarted(DWORD /*dwError*/,
                                                    const ByteString& /*strDirectory*/) {}

void CDirectoryChangeHandler_Policy::OnWatchStopped(const ByteString& /*strDirectory*/) {}

void CDirectoryChangeHandler_Policy::ReportEvent() {
    CFileMonitor* pMonitor = g_pFileMonitor;
    if (pMonitor == nullptr) return;
    const FileMonCallback pfnLocal = pMonitor->m_pfnLocalCallback;
    const bool bLocal = pfnLocal != nullptr && pMonitor->MatchHandlerEvent(this, false);
    if (bLocal) pfnLocal(&m_Event);
    // The callback may have made the last Release: the monitor is looked up anew.
    pMonitor = g_pFileMonitor;
    if (pMonitor == nullptr) return;
    const FileMonCallback pfnUsb = pMonitor->m_pfnUsbCallback;
    const bool bUsb = pfnUsb != nullptr && pMonitor->MatchHandlerEvent(this, true);
    if (bUsb) pfnUsb(&m_Event);
    NoteReportOffered(bLocal, bUsb);
}

}  // namespace tern
