// The rules file of ternwatch: an INI file with one section per rule.
//
//   # comment lines start with # or ;
//   [usb-documents]              the section name labels the rule
//   monitor = usb                usb or local
//   pattern = *.doc              an exact file name, or a pattern with *
//   actions = Add|Copy|Modify    Add, Copy, Delete, Modify, Rename, joined by |
//   tag     = usb-doc            optional; copied into accepted reports
//                                (default: the section name)
//
// The file is read as bytes in the system's ANSI code page.
#ifndef TERNFILEMON_HOST_RULESFILE_H
#define TERNFILEMON_HOST_RULESFILE_H

#include <string>
#include <vector>

#include "TernFileMon.h"

namespace tern {

struct RuleSet {
    FileMonRuleList lstUsb;    // rules for FILEMON_USB, in file order
    FileMonRuleList lstLocal;  // rules for FILEMON_LOCAL, in file order
    // Things that parse but will not do what the writer probably meant,
    // "file:line: field 'name': text".
    std::vector<std::string> vecWarnings;
};

// Parses the text of a rules file. strFileName only labels the messages.
// On failure returns false and strError reads "file:line: field 'name': text".
bool ParseRules(const std::string& strText, const std::string& strFileName, RuleSet& rules,
                std::string& strError);

// Reads and parses a rules file.
bool LoadRulesFile(const std::string& strPath, RuleSet& rules, std::string& strError);

}  // namespace tern

#endif
