#include "EcsFormat.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "EventFormat.h"

namespace tern {

namespace {

std::string Utf8Of(const std::wstring& strWide) {
    const int nBytes = ::WideCharToMultiByte(
        CP_UTF8, 0, strWide.data(), static_cast<int>(strWide.size()), nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0) return std::string();
    std::string strUtf8(static_cast<size_t>(nBytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, strWide.data(), static_cast<int>(strWide.size()), &strUtf8[0],
                          nBytes, nullptr, nullptr);
    return strUtf8;
}

// Without MB_ERR_INVALID_CHARS the conversion never fails as a whole: bytes
// the code page rejects come out as U+FFFD (or its default character).
std::wstring WideOf(const std::string& strText, UINT nCodePage) {
    const int nChars = ::MultiByteToWideChar(nCodePage, 0, strText.data(),
                                             static_cast<int>(strText.size()), nullptr, 0);
    if (nChars <= 0) return std::wstring();
    std::wstring strWide(static_cast<size_t>(nChars), L'\0');
    ::MultiByteToWideChar(nCodePage, 0, strText.data(), static_cast<int>(strText.size()),
                          &strWide[0], nChars);
    return strWide;
}

std::string NowUtc() {
    SYSTEMTIME utc = {};
    ::GetSystemTime(&utc);
    char szTime[32];
    std::snprintf(szTime, sizeof(szTime), "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth,
                  utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
    return szTime;
}

bool IsCopy(const FileMonEvent& event) { return _stricmp(event.strAction.c_str(), "Copy") == 0; }
bool IsRename(const FileMonEvent& event) {
    return _stricmp(event.strAction.c_str(), "Rename") == 0;
}

const char* EventType(const FileMonEvent& event) {
    if (IsCopy(event) || _stricmp(event.strAction.c_str(), "Add") == 0) return "creation";
    if (_stricmp(event.strAction.c_str(), "Delete") == 0) return "deletion";
    return "change";  // Modify, Rename
}

// The parts of a Windows path that ECS's file.* fields name.
struct PathParts {
    std::string strName, strDirectory, strExtension, strDriveLetter;
};

PathParts SplitPath(const std::string& strPath) {
    PathParts parts;
    const size_t nSlash = strPath.rfind('\\');
    parts.strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    if (nSlash != std::string::npos) {
        // A file in a drive's top folder keeps the root's backslash: "E:\".
        const bool bRoot = nSlash == 2 && strPath[1] == ':';
        parts.strDirectory = strPath.substr(0, bRoot ? nSlash + 1 : nSlash);
    }
    const size_t nDot = parts.strName.rfind('.');
    if (nDot != std::string::npos && nDot > 0) parts.strExtension = parts.strName.substr(nDot + 1);
    if (strPath.size() >= 2 && strPath[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(strPath[0]))) {
        parts.strDriveLetter =
            std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(strPath[0]))));
    }
    return parts;
}

void AppendMember(std::string& strOut, const char* pszName, const std::string& strJsonValue) {
    if (strOut.back() != '{') strOut += ',';
    strOut += '"';
    strOut += pszName;
    strOut += "\":";
    strOut += strJsonValue;
}

void AppendText(std::string& strOut, const char* pszName, const std::string& strText,
                UINT nCodePage) {
    AppendMember(strOut, pszName, JsonQuoteUtf8(strText, nCodePage));
}

std::string FileObject(const std::string& strPath) {
    const PathParts parts = SplitPath(strPath);
    std::string strFile = "{";
    AppendText(strFile, "path", strPath, FILE_NAME_CODE_PAGE);
    AppendText(strFile, "name", parts.strName, FILE_NAME_CODE_PAGE);
    if (!parts.strDirectory.empty())
        AppendText(strFile, "directory", parts.strDirectory, FILE_NAME_CODE_PAGE);
    if (!parts.strExtension.empty())
        AppendText(strFile, "extension", parts.strExtension, FILE_NAME_CODE_PAGE);
    if (!parts.strDriveLetter.empty())
        AppendText(strFile, "drive_letter", parts.strDriveLetter, CP_ACP);
    return strFile + "}";
}

std::string RuleName(const RuleNamesByTag& ruleNames, const char* pszMonitor,
                     const std::string& strTag) {
    const auto itType = ruleNames.find(pszMonitor);
    if (itType == ruleNames.end()) return std::string();
    const auto itName = itType->second.find(strTag);
    return itName == itType->second.end() ? std::string() : itName->second;
}

}  // namespace

std::string JsonQuoteUtf8(const std::string& strText, UINT nCodePage) {
    const std::string strUtf8 = Utf8Of(WideOf(strText, nCodePage));
    std::string strOut = "\"";
    for (char ch : strUtf8) {
        // Bytes of multi-byte UTF-8 sequences are >= 0x80 and pass as they are.
        if (static_cast<unsigned char>(ch) >= 0x80) {
            strOut += ch;
        } else {
            const std::string strQuoted = JsonQuote(std::string(1, ch), CP_ACP);
            strOut.append(strQuoted, 1, strQuoted.size() - 2);
        }
    }
    return strOut + "\"";
}

std::string UtcTimestamp(const std::string& strLocalTime) {
    SYSTEMTIME local = {};
    unsigned int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    char chExtra = 0;
    if (std::sscanf(strLocalTime.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &nYear, &nMonth, &nDay,
                    &nHour, &nMinute, &nSecond, &chExtra) != 6) {
        return std::string();
    }
    local.wYear = static_cast<WORD>(nYear);
    local.wMonth = static_cast<WORD>(nMonth);
    local.wDay = static_cast<WORD>(nDay);
    local.wHour = static_cast<WORD>(nHour);
    local.wMinute = static_cast<WORD>(nMinute);
    local.wSecond = static_cast<WORD>(nSecond);
    SYSTEMTIME utc = {};
    FILETIME check = {};
    // SystemTimeToFileTime validates the fields (month 13, day 32 ... fail).
    if (!::SystemTimeToFileTime(&local, &check) ||
        !::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc)) {
        return std::string();
    }
    char szTime[32];
    std::snprintf(szTime, sizeof(szTime), "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth,
                  utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
    return szTime;
}

RuleNamesByTag RuleNamesOf(const FileMonRuleList& lstUsb, const FileMonRuleList& lstLocal) {
    RuleNamesByTag names;
    for (const FileMonRule& rule : lstUsb) names["usb"][rule.strRuleTag] = rule.strName;
    for (const FileMonRule& rule : lstLocal) names["local"][rule.strRuleTag] = rule.strName;
    return names;
}

std::string FormatEcsLine(const FileMonEvent& event, const char* pszMonitor,
                          const RuleNamesByTag& ruleNames) {
    const char* pszType = pszMonitor != nullptr ? pszMonitor : "";
    const bool bTwoPaths = IsCopy(event) || IsRename(event);
    std::string strTime = UtcTimestamp(event.strTime);
    if (strTime.empty()) strTime = NowUtc();

    std::string strEvent = "{\"kind\":\"event\",\"category\":[\"file\"],\"type\":[\"";
    strEvent += EventType(event);
    strEvent += "\"]";
    AppendText(strEvent, "action", event.strAction, CP_ACP);
    strEvent += '}';

    std::string strOwn = "{";
    AppendText(strOwn, "monitor", pszType, CP_ACP);
    if (bTwoPaths) {
        // A copy's source comes from the list of copied files (ANSI); a
        // rename's old path from the file system.
        AppendText(strOwn, "source_path", event.strSource,
                   IsCopy(event) ? CP_ACP : FILE_NAME_CODE_PAGE);
    }
    strOwn += '}';

    std::string strLine = "{";
    AppendText(strLine, "@timestamp", strTime, CP_ACP);
    AppendMember(strLine, "event", strEvent);
    AppendMember(strLine, "file", FileObject(bTwoPaths ? event.strTarget : event.strPath));
    const std::string strRuleName = RuleName(ruleNames, pszType, event.strRuleTag);
    if (!strRuleName.empty())
        AppendMember(strLine, "rule", "{\"name\":" + JsonQuoteUtf8(strRuleName, CP_ACP) + "}");
    if (!event.strRuleTag.empty())
        AppendMember(strLine, "tags", "[" + JsonQuoteUtf8(event.strRuleTag, CP_ACP) + "]");
    AppendMember(strLine, "ternfilemon", strOwn);
    return strLine + "}";
}

}  // namespace tern
