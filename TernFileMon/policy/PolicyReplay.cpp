#include "PolicyReplay.h"

#include <map>

#include "../filemon/FileMonitor.h"
#include "../common/RefPtr.h"
#include "../filemon/RecordedRoots.h"
#include "PolicyEnvironment.h"
#include "PolicyHandler.h"

namespace tern {

namespace {

bool IsWholeNote(const TernPolicyNote* pNote) {
    return pNote->cbSize >= sizeof(TernPolicyNote) && pNote->pszPath != nullptr &&
           pNote->nKind >= TERN_NOTE_ADDED && pNote->nKind <= TERN_NOTE_RENAMED &&
           (pNote->nKind != TERN_NOTE_RENAMED || pNote->pszNewPath != nullptr);
}

// A root is attached with the rule list of the type that attached it: the
// recorded type's list, else (that type not started now) the other one's, as
// starting either type attaches every fixed disk.
FileMonRuleList* RulesForHandler(const TernReplaySetup& setup, std::int32_t nMonitorType) {
    if (nMonitorType == FILEMON_USB) return setup.pUsbRules != nullptr ? setup.pUsbRules : setup.pLocalRules;
    if (nMonitorType == FILEMON_LOCAL) return setup.pLocalRules != nullptr ? setup.pLocalRules : setup.pUsbRules;
    return nullptr;
}

void SetUsbRoots(const ByteString& strRoots) {
    g_arrRecordedRoots.RemoveAll();
    size_t nStart = 0;
    while (nStart < strRoots.size()) {
        size_t nEnd = strRoots.find('|', nStart);
        if (nEnd == ByteString::npos) nEnd = strRoots.size();
        if (nEnd > nStart) g_arrRecordedRoots.Append(strRoots.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
}

void Deliver(CDirectoryChangeHandler_Policy& handler, const TernPolicyNote& note) {
    switch (note.nKind) {
        case TERN_NOTE_ADDED: handler.OnFileAdded(note.pszPath); break;
        case TERN_NOTE_REMOVED: handler.OnFileRemoved(note.pszPath); break;
        case TERN_NOTE_MODIFIED: handler.OnFileModified(note.pszPath); break;
        default: handler.OnFileRenamed(note.pszPath, note.pszNewPath); break;
    }
}

// The ownerless file monitor of a replay (no window, no log, no watches) with
// the host's rules and callbacks; the usb roots are emptied when it goes.
class CReplayMonitor {
public:
    explicit CReplayMonitor(const TernReplaySetup& setup) : m_monitor(nullptr) {
        m_monitor.m_pUsbRuleList = setup.pUsbRules;
        m_monitor.m_pfnUsbCallback = setup.pfnUsbCallback;
        m_monitor.m_pLocalRuleList = setup.pLocalRules;
        m_monitor.m_pfnLocalCallback = setup.pfnLocalCallback;
    }
    ~CReplayMonitor() { g_arrRecordedRoots.RemoveAll(); }

private:
    CFileMonitor m_monitor;
};

}  // namespace

int ReplayPolicyNotesFrom(const TernReplaySetup& setup, TernNoteSource pfnSource, void* pContext) {
    if (g_pFileMonitor != nullptr) return TERN_REPLAY_BUSY;
    CReplayMonitor monitor(setup);
    CReplayEnvironment environment;
    // Declared after the environment: the handlers go first.
    std::map<std::uint32_t, RefPtr<CDirectoryChangeHandler_Policy>> mapHandlers;
    ByteString strUsbRoots;
    g_arrRecordedRoots.RemoveAll();
    while (const TernPolicyNote* pNote = pfnSource(pContext)) {
        if (!IsWholeNote(pNote)) return TERN_REPLAY_BAD_NOTE;
        const char* pszRoots = pNote->pszUsbRoots != nullptr ? pNote->pszUsbRoots : "";
        if (strUsbRoots != pszRoots) SetUsbRoots(strUsbRoots = pszRoots);
        RefPtr<CDirectoryChangeHandler_Policy>& pHandler = mapHandlers[pNote->nHandler];
        if (!pHandler) {
            pHandler = RefPtr<CDirectoryChangeHandler_Policy>::Adopt(new CDirectoryChangeHandler_Policy(
                environment, pNote->pszInstallRoot != nullptr ? pNote->pszInstallRoot : ""));
            pHandler->m_pRuleList = RulesForHandler(setup, pNote->nMonitorType);
        }
        environment.SetNote(pNote);
        Deliver(*pHandler, *pNote);
    }
    return TERN_REPLAY_OK;
}

}  // namespace tern
