#include "RuleExplainer.h"

#include <cctype>
#include <cstring>

namespace tern {

namespace {

bool IsCopyOrRename(const std::string& strAction) {
    return _stricmp(strAction.c_str(), "Copy") == 0 || _stricmp(strAction.c_str(), "Rename") == 0;
}

// CheckEvent with a list of one rule; the event is copied, since an
// accepting answer writes the tag into it.
bool RuleAccepts(ITernFileMon& monitor, const std::string& strPattern,
                 const std::string& strActions, const FileMonEvent& event) {
    FileMonRuleList lstOne = {{strPattern, "explain", strActions, "explain"}};
    FileMonEvent probe = event;
    return monitor.CheckEvent(&lstOne, &probe);
}

std::string YesNo(bool bYes) { return bYes ? "yes" : "no "; }

}  // namespace

std::string MainCandidate(const FileMonEvent& event) {
    std::string strText = IsCopyOrRename(event.strAction) ? event.strTarget : event.strPath;
    for (char& ch : strText) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const size_t nSlash = strText.rfind('\\');
    return nSlash == std::string::npos ? strText : strText.substr(nSlash + 1);
}

Explanation ExplainEvent(ITernFileMon& monitor, const FileMonRuleList& rules,
                         const FileMonEvent& event) {
    Explanation explanation;
    // A rule that names the main candidate exactly and lists the event's own
    // action passes the pattern and the action test, so only the gate is left.
    const std::string strCandidate = MainCandidate(event);
    explanation.bRootGate = RuleAccepts(monitor, strCandidate, event.strAction, event);
    if (explanation.bRootGate) {
        int nIndex = 0;
        for (const FileMonRule& rule : rules) {
            RuleVerdict verdict;
            verdict.bPattern = RuleAccepts(monitor, rule.strPattern, event.strAction, event);
            verdict.bAction = RuleAccepts(monitor, strCandidate, rule.strActions, event);
            verdict.bAccepted = RuleAccepts(monitor, rule.strPattern, rule.strActions, event);
            if (verdict.bAccepted && explanation.nWinner < 0) explanation.nWinner = nIndex;
            explanation.vecRules.push_back(verdict);
            ++nIndex;
        }
    }
    FileMonRuleList lstAll = rules;
    FileMonEvent whole = event;
    explanation.bAccepted = monitor.CheckEvent(&lstAll, &whole);
    if (explanation.bAccepted) explanation.strTag = whole.strRuleTag;
    return explanation;
}

std::vector<std::string> FormatExplanation(const Explanation& explanation,
                                           const FileMonRuleList& rules, const char* pszMonitor) {
    std::vector<std::string> vecLines;
    const std::string strMonitor = pszMonitor != nullptr ? pszMonitor : "";
    vecLines.push_back(strMonitor + " rules (" + std::to_string(rules.size()) + "): root gate " +
                       (explanation.bRootGate
                            ? "passed: the event touches a drive root watched for usb"
                            : "refused: the event touches no drive root watched for usb, so no "
                              "rule is tried"));
    int nIndex = 0;
    for (const FileMonRule& rule : rules) {
        if (static_cast<size_t>(nIndex) >= explanation.vecRules.size()) break;
        const RuleVerdict& verdict = explanation.vecRules[static_cast<size_t>(nIndex)];
        vecLines.push_back("  " + std::to_string(nIndex + 1) + " [" + rule.strName + "]  pattern " +
                           YesNo(verdict.bPattern) + " action " + YesNo(verdict.bAction) + " -> " +
                           (verdict.bAccepted ? "accepts, tag " + rule.strRuleTag
                                              : std::string("does not accept")));
        ++nIndex;
    }
    if (explanation.bAccepted) {
        std::string strWinner = "  winner: ";
        if (explanation.nWinner >= 0) {
            auto it = rules.begin();
            std::advance(it, explanation.nWinner);
            strWinner +=
                "rule " + std::to_string(explanation.nWinner + 1) + " [" + it->strName + "], ";
        }
        vecLines.push_back(strWinner + "tag " + explanation.strTag +
                           " (CheckEvent takes the first accepting rule, a live report the last)");
    } else {
        vecLines.push_back("  no rule accepts the event");
    }
    return vecLines;
}

}  // namespace tern
