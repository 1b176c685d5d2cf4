// Why a rule list accepts an event or not, asked of the component itself.
//
// The component answers CheckEvent for a whole list with one yes or no. The
// explainer asks it again with lists of one rule, built so that each answer
// depends on one test alone: the root gate (does the event touch a drive
// root watched for usb?), the rule's pattern, the rule's actions. Every
// verdict is therefore the component's own, never a second implementation of
// its matching.
#ifndef TERNFILEMON_HOST_RULEEXPLAINER_H
#define TERNFILEMON_HOST_RULEEXPLAINER_H

#include <string>
#include <vector>

#include "TernFileMon.h"

namespace tern {

struct RuleVerdict {
    bool bPattern = false;   // the rule's pattern accepts the event's names
    bool bAction = false;    // the event's action is among the rule's actions
    bool bAccepted = false;  // the rule alone accepts the event
};

struct Explanation {
    bool bRootGate = false;             // false: no rule was tried
    std::vector<RuleVerdict> vecRules;  // one per rule, in list order (empty without the gate)
    bool bAccepted = false;             // CheckEvent over the whole list
    std::string strTag;                 // the tag CheckEvent wrote (its first accepting rule)
    int nWinner = -1;                   // index of the first accepting rule, -1 for none
};

// The file name the rules are tried on first: the lower-cased name after the
// last backslash of the target (copies and renames) or of the path.
std::string MainCandidate(const FileMonEvent& event);

// Asks the component about event against rules, rule by rule.
Explanation ExplainEvent(ITernFileMon& monitor, const FileMonRuleList& rules,
                         const FileMonEvent& event);

// The explanation as readable lines: the gate, one line per rule (labelled
// with its section name), the winner.
std::vector<std::string> FormatExplanation(const Explanation& explanation,
                                           const FileMonRuleList& rules, const char* pszMonitor);

}  // namespace tern

#endif
