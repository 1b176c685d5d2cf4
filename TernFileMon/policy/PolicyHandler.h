// CDirectoryChangeHandler_Policy: turns the raw changes of one watched drive
// root into the user actions the host hears about ("Add", "Copy", "Delete",
// "Modify", "Rename") and hands each to the callback of its monitor type when
// a filter rule accepts it.
#ifndef TERNFILEMON_POLICY_POLICYHANDLER_H
#define TERNFILEMON_POLICY_POLICYHANDLER_H

#include <ctime>

#include "../DirectoryChanges/DirectoryChangeHandler.h"
#include "../common/ByteString.h"
#include "../include/TernFileMon.h"
#include "PolicyEnvironment.h"

namespace tern {

// All notifications arrive on the engine's one notification thread, so the
// handler's state needs no lock; the host callbacks run there too.
class CDirectoryChangeHandler_Policy : public CDirectoryChangeHandler {
public:
    // The live handler: the clock, copy detection, and the host executable's
    // installation folder.
    CDirectoryChangeHandler_Policy();
    // A handler whose clock and copy detection are environment's (which must
    // outlive it), ignoring what lies under strInstallRoot (lower case).
    CDirectoryChangeHandler_Policy(CPolicyEnvironment& environment, ByteString strInstallRoot);
    ~CDirectoryChangeHandler_Policy() override;

    void OnFileAdded(const ByteString& strFileName) override;
    void OnFileRemoved(const ByteString& strFileName) override;
    void OnFileRenamed(const ByteString& strOldFileName, const ByteString& strNewFileName) override;
    void OnFileModified(const ByteString& strFileName) override;
    void OnWatchStarted(DWORD dwError, const ByteString& strDirectory) override;
    void OnWatchStopped(const ByteString& strDirectory) override;

    // A handler for one root that reports against pRuleList, holding one
    // reference for the caller (the file monitor's root handler factory).
    static CDirectoryChangeHandler* Create(FileMonRuleList* pRuleList);

    // Offers m_Event to the FILEMON_LOCAL side, then to the FILEMON_USB side.
    void ReportEvent();

    // The last addition, copy, deletion or rename; the duplicate rules of the
    // following notifications read it back. Fields a step does not write keep
    // their earlier values.
    FileMonEvent m_Event;
    // The host's rules for this root (not owned); null reports nothing.
    FileMonRuleList* m_pRuleList = nullptr;
    // The folder above the host executable's folder, lower-cased.
    ByteString m_strInstallRoot;
    // A word processor's "~WRD" temporary file was added; its rename onto the
    // document is then that document's modification.
    bool m_bWordTempAdded = false;
    // Where the handler's time and copy-source answers come from.
    CPolicyEnvironment* m_pEnvironment = &g_livePolicyEnvironment;
    // Numbered from 1 in the order handlers are made: a recording's notes
    // name their handler by it.
    std::uint32_t m_nHandlerNumber = 0;
    // The stamp of the second m_tStampSecond.
    __time64_t m_tStampSecond = -1;
    ByteString m_strStamp;

    // "C:\Program Files\Client\bin\host.exe" gives "c:\program files\client".
    static ByteString InstallRootOf(const ByteString& strExecutablePath);
    // Local time, "%Y-%m-%d %H:%M:%S".
    static ByteString TimeStamp();
    static ByteString TimeStampOf(__time64_t tTime);

private:
    // TimeStamp(), made once per second of the clock.
    const ByteString& CurrentTimeStamp();
    bool IsUnderInstallRoot(const ByteString& strPath) const;
    // An office save renamed its temporary file onto the document: reports the
    // document's modification and ends the word processor's save.
    void ReportOfficeSave(const ByteString& strDocument, const ByteString& strTime);
};

}  // namespace tern

#endif
