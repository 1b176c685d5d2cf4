// The filter rule matching of CFileMonitor: which monitor type an event
// belongs to, and whether a rule of that type accepts it.
//
// The three entry points share one rule test and differ only where the
// MatchVariant below says so.
#include <windows.h>

#include <vector>

#include "../filemon/FileMonitor.h"
#include "../filemon/RecordedRoots.h"
#include "PolicyHandler.h"

namespace tern {
namespace {

// How one entry point reads the event and the rule list.
struct MatchVariant {
    bool bExcludeRecycleBin;   // moves into a recycle bin are never reported
    bool bFallbackFileName;    // fallback candidate reduced to its file name
    bool bRenameByOldName;     // an exact rule also catches a rename's old file name
    bool bBackToFront;         // walk from the last rule: the last matching rule wins
};

constexpr MatchVariant kHandlerVariant = {true, true, true, true};
constexpr MatchVariant kModifyVariant = {true, false, false, true};
constexpr MatchVariant kCheckVariant = {false, false, false, false};

// The texts one event is matched with.
struct Candidates {
    ByteString strMain;      // lower-cased file name
    ByteString strFallback;  // letter case as delivered
    ByteString strAction;    // upper-cased
};

// "C:\" for "C:\a\b.txt"; a lone backslash for a path without a drive letter.
ByteString DriveRootOf(const ByteString& strPath) {
    if (strPath.size() >= 2 && strPath[1] == ':') return strPath.substr(0, 2) + "\\";
    return "\\";
}

ByteString FileNameOf(const ByteString& strPath) {
    const size_t nSlash = strPath.rfind('\\');
    return nSlash == ByteString::npos ? strPath : strPath.substr(nSlash + 1);
}

bool IsCopyOrRename(const ByteString& strAction) {
    return EqualsNoCase(strAction, "Copy") || EqualsNoCase(strAction, "Rename");
}

// A copy touches the drives of its source and its target; every other action
// only the drive of its path (for a rename: of the old path).
bool TouchesRecordedRoot(const FileMonEvent& event) {
    std::vector<ByteString> arrDrives;
    arrDrives.push_back(DriveRootOf(event.strPath));
    if (EqualsNoCase(event.strAction, "Copy")) {
        arrDrives.push_back(DriveRootOf(event.strSource));
        arrDrives.push_back(DriveRootOf(event.strTarget));
    }
    // One consistent copy: the window thread may empty the array meanwhile.
    const std::vector<ByteString> arrRoots = g_arrRecordedRoots.Snapshot();
    for (const ByteString& strRoot : arrRoots) {
        for (const ByteString& strDrive : arrDrives) {
            if (EqualsNoCase(strRoot, strDrive)) return true;
        }
    }
    return false;
}

bool IsInRecycleBin(const ByteString& strLowerPath) {
    static const char* const kBins[] = {":\\recycled\\", ":\\recycler\\", ":\\$recycle.bin\\"};
    for (const char* pszBin : kBins) {
        if (strLowerPath.compare(1, ByteString(pszBin).size(), pszBin) == 0) return true;
    }
    return false;
}

// False when the event may not be matched at all (it lies in a recycle bin).
bool BuildCandidates(const FileMonEvent& event, const MatchVariant& variant,
                     Candidates& candidates) {
    const bool bTwoPaths = IsCopyOrRename(event.strAction);
    ByteString strMainText = bTwoPaths ? event.strTarget : event.strPath;
    const ByteString& strFallbackText = bTwoPaths ? event.strSource : event.strPath;
    MakeLowerInPlace(strMainText);
    if (variant.bExcludeRecycleBin && strMainText.size() > 1 && IsInRecycleBin(strMainText)) {
        return false;
    }
    candidates.strMain = FileNameOf(strMainText);
    candidates.strFallback =
        variant.bFallbackFileName ? FileNameOf(strFallbackText) : strFallbackText;
    candidates.strAction = event.strAction;
    MakeUpperInPlace(candidates.strAction);
    return true;
}

// The rule's action list without separators, upper-cased: Add|Delete gives ADDDELETE.
ByteString ActionListOf(const FileMonRule& rule) {
    ByteString strActions;
    strActions.reserve(rule.strActions.size());
    for (char ch : rule.strActions) {
        if (ch != '|') strActions += ch;
    }
    MakeUpperInPlace(strActions);
    return strActions;
}

bool PatternAccepts(CFileMonitor& monitor, const FileMonRule& rule,
                    const Candidates& candidates, const MatchVariant& variant) {
    const ByteString& strPattern = rule.strPattern;
    if (strPattern.find('*') != ByteString::npos) {
        CFileMonitor::MatchPatternFunction pfnMatch = monitor.LoadMatchPattern();
        if (pfnMatch == nullptr) return false;
        return pfnMatch(strPattern.c_str(), candidates.strMain.c_str()) != 0 ||
               pfnMatch(strPattern.c_str(), candidates.strFallback.c_str()) != 0;
    }
    if (candidates.strMain == strPattern) return true;
    return variant.bRenameByOldName && candidates.strFallback == strPattern &&
           candidates.strAction == "RENAME";
}

bool RuleAccepts(CFileMonitor& monitor, const FileMonRule& rule, const Candidates& candidates,
                 const MatchVariant& variant) {
    return PatternAccepts(monitor, rule, candidates, variant) &&
           ActionListOf(rule).find(candidates.strAction) != ByteString::npos;
}

template <typename Iterator>
bool WalkRules(CFileMonitor& monitor, Iterator itFirst, Iterator itEnd, FileMonEvent& event,
               const Candidates& candidates, const MatchVariant& variant) {
    for (Iterator it = itFirst; it != itEnd; ++it) {
        if (RuleAccepts(monitor, *it, candidates, variant)) {
            event.strRuleTag = it->strRuleTag;
            return true;
        }
    }
    return false;
}

bool MatchRuleList(CFileMonitor& monitor, const FileMonRuleList& lstRules, FileMonEvent& event,
                   const MatchVariant& variant) {
    Candidates candidates;
    if (!BuildCandidates(event, variant, candidates)) return false;
    if (variant.bBackToFront) {
        return WalkRules(monitor, lstRules.rbegin(), lstRules.rend(), event, candidates, variant);
    }
    return WalkRules(monitor, lstRules.begin(), lstRules.end(), event, candidates, variant);
}

// The rule list of the side the event belongs to, or null when it belongs to
// the other side (or this side has no rules).
FileMonRuleList* RulesOfSide(const CFileMonitor& monitor, const FileMonEvent& event,
                             bool bUsbSide) {
    const bool bTouched = TouchesRecordedRoot(event);
    if (bUsbSide) return bTouched ? monitor.m_pUsbRuleList.load() : nullptr;
    return bTouched ? nullptr : monitor.m_pLocalRuleList.load();
}

}  // namespace

bool CFileMonitor::MatchHandlerEvent(CDirectoryChangeHandler_Policy* pHandler, bool bUsbSide) {
    if (pHandler == nullptr || pHandler->m_pRuleList == nullptr) return false;
    FileMonRuleList* pRules = RulesOfSide(*this, pHandler->m_Event, bUsbSide);
    return pRules != nullptr && MatchRuleList(*this, *pRules, pHandler->m_Event, kHandlerVariant);
}

bool CFileMonitor::MatchModifyEvent(FileMonEvent* pEvent, FileMonRuleList* pRuleList,
                                    bool bUsbSide, int nRootGate) {
    if (pEvent == nullptr || pRuleList == nullptr) return false;
    FileMonRuleList* pRules = pRuleList;
    if (nRootGate == 1) pRules = RulesOfSide(*this, *pEvent, bUsbSide);
    return pRules != nullptr && MatchRuleList(*this, *pRules, *pEvent, kModifyVariant);
}

bool CFileMonitor::MatchEvent(FileMonRuleList* pRuleList, FileMonEvent* pEvent) {
    if (pRuleList == nullptr || pEvent == nullptr) return false;
    return TouchesRecordedRoot(*pEvent) && MatchRuleList(*this, *pRuleList, *pEvent, kCheckVariant);
}

CFileMonitor::MatchPatternFunction CFileMonitor::LoadMatchPattern() {
    if (MatchPatternFunction pfnLoaded = m_pfnMatchPattern.load()) return pfnLoaded;
    ScopedLock lock(m_csMatchPattern);
    // Another thread may have loaded it while this one waited.
    if (MatchPatternFunction pfnLoaded = m_pfnMatchPattern.load()) return pfnLoaded;

    char szHostPath[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szHostPath, MAX_PATH);
    ByteString strLibrary(szHostPath, nLength < MAX_PATH ? nLength : MAX_PATH);
    const size_t nSlash = strLibrary.rfind('\\');
    if (nSlash == ByteString::npos) return nullptr;
    strLibrary.erase(nSlash);
    strLibrary += "\\regex.dll";

    UniqueModule hLibrary(::LoadLibraryA(strLibrary.c_str()));
    if (!hLibrary) return nullptr;
    const MatchPatternFunction pfnMatch = reinterpret_cast<MatchPatternFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(hLibrary.Get(), "MatchPattern")));
    // Without the export the library is of no use: it goes again at once.
    if (pfnMatch == nullptr) return nullptr;
    m_hRegexModule = std::move(hLibrary);
    m_pfnMatchPattern.store(pfnMatch);
    return pfnMatch;
}

}  // namespace tern
