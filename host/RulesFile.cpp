#include "RulesFile.h"

#include <windows.h>

#include <cctype>
#include <map>
#include <set>

#include "Win32Handles.h"

namespace tern {

namespace {

// Rules files are a few lines; anything this big is not one.
constexpr DWORD MAX_RULES_FILE_BYTES = 4 * 1024 * 1024;

const char* const KNOWN_ACTIONS[] = {"Add", "Copy", "Delete", "Modify", "Rename"};

std::string Trim(const std::string& strText) {
    const char* const pszBlank = " \t\r\n";
    const size_t nFirst = strText.find_first_not_of(pszBlank);
    if (nFirst == std::string::npos) return std::string();
    return strText.substr(nFirst, strText.find_last_not_of(pszBlank) - nFirst + 1);
}

std::string Lower(std::string strText) {
    for (char& ch : strText) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return strText;
}

// One [section] being read: its keys with the lines they came from.
struct RuleSection {
    std::string strName;
    int nLine = 0;
    std::map<std::string, std::pair<std::string, int>> mapFields;
};

class RulesParser {
public:
    RulesParser(const std::string& strFileName, RuleSet& rules, std::string& strError)
        : m_strFileName(strFileName), m_rules(rules), m_strError(strError) {}

    bool Parse(const std::string& strText);

private:
    bool ParseLine(const std::string& strLine, int nLine);
    bool BeginSection(const std::string& strLine, int nLine);
    bool AddField(const std::string& strLine, int nLine);
    bool FinishSection();
    bool NormaliseActions(const std::string& strActions, int nLine, std::string& strOut);
    void WarnAboutPattern(const std::string& strPattern, int nLine);

    bool Fail(int nLine, const std::string& strField, const std::string& strText) {
        m_strError = Message(nLine, strField, strText);
        return false;
    }
    std::string Message(int nLine, const std::string& strField, const std::string& strText) const {
        return m_strFileName + ":" + std::to_string(nLine) + ": field '" + strField + "': " +
               strText;
    }

    const std::string& m_strFileName;
    RuleSet& m_rules;
    std::string& m_strError;
    bool m_bInSection = false;
    RuleSection m_section;
    std::set<std::string> m_setNames;
};

bool RulesParser::Parse(const std::string& strText) {
    size_t nStart = 0;
    int nLine = 0;
    // A UTF-8 byte order mark written by some editors is not part of the first line.
    if (strText.compare(0, 3, "\xEF\xBB\xBF") == 0) nStart = 3;
    while (nStart <= strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = strText.size();
        if (!ParseLine(strText.substr(nStart, nEnd - nStart), ++nLine)) return false;
        nStart = nEnd + 1;
    }
    if (!FinishSection()) return false;
    if (m_rules.lstUsb.empty() && m_rules.lstLocal.empty()) {
        return Fail(nLine, "section", "no rules: write at least one [name] section");
    }
    return true;
}

bool RulesParser::ParseLine(const std::string& strRawLine, int nLine) {
    const std::string strLine = Trim(strRawLine);
    if (strLine.empty() || strLine[0] == '#' || strLine[0] == ';') return true;
    if (strLine.find('\0') != std::string::npos) {
        return Fail(nLine, "line", "contains a zero byte; is this a text file?");
    }
    if (strLine[0] == '[') return BeginSection(strLine, nLine);
    return AddField(strLine, nLine);
}

bool RulesParser::BeginSection(const std::string& strLine, int nLine) {
    if (!FinishSection()) return false;
    if (strLine.back() != ']') return Fail(nLine, "section", "a section line ends with ']'");
    const std::string strName = Trim(strLine.substr(1, strLine.size() - 2));
    if (strName.empty()) return Fail(nLine, "section", "the rule needs a name between [ and ]");
    if (!m_setNames.insert(Lower(strName)).second) {
        return Fail(nLine, "section", "a rule named '" + strName + "' is already defined");
    }
    m_section = RuleSection();
    m_section.strName = strName;
    m_section.nLine = nLine;
    m_bInSection = true;
    return true;
}

bool RulesParser::AddField(const std::string& strLine, int nLine) {
    const size_t nEqual = strLine.find('=');
    if (nEqual == std::string::npos) {
        return Fail(nLine, "line", "expected 'name = value', '[rule name]' or a # comment");
    }
    const std::string strKey = Lower(Trim(strLine.substr(0, nEqual)));
    const std::string strValue = Trim(strLine.substr(nEqual + 1));
    if (strKey.empty()) return Fail(nLine, "line", "the field name before '=' is missing");
    if (!m_bInSection) return Fail(nLine, strKey, "comes before the first [rule name] line");
    if (strKey != "monitor" && strKey != "pattern" && strKey != "actions" && strKey != "tag") {
        return Fail(nLine, strKey, "unknown field (known: monitor, pattern, actions, tag)");
    }
    if (!m_section.mapFields.emplace(strKey, std::make_pair(strValue, nLine)).second) {
        return Fail(nLine, strKey, "given twice in rule [" + m_section.strName + "]");
    }
    return true;
}

bool RulesParser::FinishSection() {
    if (!m_bInSection) return true;
    m_bInSection = false;
    for (const char* pszRequired : {"monitor", "pattern", "actions"}) {
        if (m_section.mapFields.count(pszRequired) == 0) {
            return Fail(m_section.nLine, pszRequired,
                        "missing in rule [" + m_section.strName + "]");
        }
    }
    const auto& monitor = m_section.mapFields["monitor"];
    const std::string strMonitor = Lower(monitor.first);
    if (strMonitor != "usb" && strMonitor != "local") {
        return Fail(monitor.second, "monitor", "'" + monitor.first + "' is neither usb nor local");
    }
    const auto& pattern = m_section.mapFields["pattern"];
    if (pattern.first.empty()) return Fail(pattern.second, "pattern", "is empty");

    FileMonRule rule;
    rule.strPattern = pattern.first;
    rule.strName = m_section.strName;
    const auto& actions = m_section.mapFields["actions"];
    if (!NormaliseActions(actions.first, actions.second, rule.strActions)) return false;
    const auto itTag = m_section.mapFields.find("tag");
    rule.strRuleTag = itTag != m_section.mapFields.end() ? itTag->second.first : m_section.strName;
    WarnAboutPattern(rule.strPattern, pattern.second);
    (strMonitor == "usb" ? m_rules.lstUsb : m_rules.lstLocal).push_back(rule);
    return true;
}

bool RulesParser::NormaliseActions(const std::string& strActions, int nLine,
                                   std::string& strOut) {
    strOut.clear();
    size_t nStart = 0;
    for (;;) {
        const size_t nBar = strActions.find('|', nStart);
        const std::string strName =
            Trim(strActions.substr(nStart, nBar == std::string::npos ? nBar : nBar - nStart));
        const char* pszKnown = nullptr;
        for (const char* pszAction : KNOWN_ACTIONS) {
            if (Lower(strName) == Lower(pszAction)) pszKnown = pszAction;
        }
        if (pszKnown == nullptr) {
            return Fail(nLine, "actions",
                        strName.empty() ? std::string("an action name is empty (write e.g. "
                                                      "Add|Copy|Delete|Modify|Rename)")
                                        : "unknown action '" + strName +
                                              "' (known: Add, Copy, Delete, Modify, Rename)");
        }
        strOut += (strOut.empty() ? "" : "|") + std::string(pszKnown);
        if (nBar == std::string::npos) return true;
        nStart = nBar + 1;
    }
}

void RulesParser::WarnAboutPattern(const std::string& strPattern, int nLine) {
    if (strPattern.find('*') != std::string::npos) return;
    if (Lower(strPattern) != strPattern) {
        m_rules.vecWarnings.push_back(Message(
            nLine, "pattern",
            "an exact name is compared with the lower-cased file name, so '" + strPattern +
                "' only matches the old name of a rename; write it in lower case"));
    }
    if (strPattern.find('\\') != std::string::npos) {
        m_rules.vecWarnings.push_back(Message(
            nLine, "pattern", "an exact pattern is a file name; a path never equals it"));
    }
}

bool ReadWholeFile(const std::string& strPath, std::string& strText, std::string& strError) {
    UniqueHandle hFile(::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        strError = strPath + ": cannot open the rules file (error " +
                   std::to_string(::GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER nSize = {};
    if (!::GetFileSizeEx(hFile.Get(), &nSize) || nSize.QuadPart > MAX_RULES_FILE_BYTES) {
        strError = strPath + ": not a rules file (larger than 4 MiB or unreadable)";
        return false;
    }
    strText.assign(static_cast<size_t>(nSize.QuadPart), '\0');
    DWORD nRead = 0;
    if (!strText.empty() &&
        !::ReadFile(hFile.Get(), &strText[0], static_cast<DWORD>(strText.size()), &nRead,
                    nullptr)) {
        strError = strPath + ": cannot read the rules file (error " +
                   std::to_string(::GetLastError()) + ")";
        return false;
    }
    strText.resize(nRead);
    return true;
}

}  // namespace

bool ParseRules(const std::string& strText, const std::string& strFileName, RuleSet& rules,
                std::string& strError) {
    rules = RuleSet();
    RulesParser parser(strFileName, rules, strError);
    if (parser.Parse(strText)) return true;
    rules = RuleSet();
    return false;
}

bool LoadRulesFile(const std::string& strPath, RuleSet& rules, std::string& strError) {
    std::string strText;
    if (!ReadWholeFile(strPath, strText, strError)) return false;
    return ParseRules(strText, strPath, rules, strError);
}

}  // namespace tern
