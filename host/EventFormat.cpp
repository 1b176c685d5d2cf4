#include "EventFormat.h"

#include <cstdio>
#include <vector>

namespace tern {

namespace {

void AppendUnicodeEscape(std::string& strOut, unsigned int nUnit) {
    char szEscape[8];
    std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", nUnit & 0xFFFF);
    strOut += szEscape;
}

void AppendAsciiChar(std::string& strOut, char ch) {
    switch (ch) {
        case '"': strOut += "\\\""; break;
        case '\\': strOut += "\\\\"; break;
        case '\b': strOut += "\\b"; break;
        case '\f': strOut += "\\f"; break;
        case '\n': strOut += "\\n"; break;
        case '\r': strOut += "\\r"; break;
        case '\t': strOut += "\\t"; break;
        default:
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
                AppendUnicodeEscape(strOut, static_cast<unsigned char>(ch));
            } else {
                strOut += ch;
            }
    }
}

// The UTF-16 form of a run of non-ASCII bytes, or an empty result when the
// code page rejects them.
std::wstring DecodeRun(const std::string& strRun, UINT nCodePage) {
    const int nChars = ::MultiByteToWideChar(nCodePage, MB_ERR_INVALID_CHARS, strRun.data(),
                                             static_cast<int>(strRun.size()), nullptr, 0);
    if (nChars <= 0) return std::wstring();
    std::wstring strWide(static_cast<size_t>(nChars), L'\0');
    ::MultiByteToWideChar(nCodePage, MB_ERR_INVALID_CHARS, strRun.data(),
                          static_cast<int>(strRun.size()), &strWide[0], nChars);
    return strWide;
}

void AppendNonAsciiRun(std::string& strOut, const std::string& strRun, UINT nCodePage) {
    const std::wstring strWide = DecodeRun(strRun, nCodePage);
    if (strWide.empty()) {
        for (char ch : strRun) AppendUnicodeEscape(strOut, static_cast<unsigned char>(ch));
        return;
    }
    for (wchar_t wch : strWide) AppendUnicodeEscape(strOut, static_cast<unsigned int>(wch));
}

void AppendField(std::string& strOut, const char* pszName, const std::string& strValue,
                 UINT nCodePage) {
    if (strOut.size() > 1) strOut += ',';
    strOut += '"';
    strOut += pszName;
    strOut += "\":";
    strOut += JsonQuote(strValue, nCodePage);
}

bool HasSourceAndTarget(const FileMonEvent& event) {
    return event.strAction == "Copy" || event.strAction == "Rename";
}

}  // namespace

std::string JsonQuote(const std::string& strText, UINT nCodePage) {
    std::string strOut = "\"";
    size_t nPos = 0;
    while (nPos < strText.size()) {
        if (static_cast<unsigned char>(strText[nPos]) < 0x80) {
            AppendAsciiChar(strOut, strText[nPos++]);
            continue;
        }
        // Walk character by character: in a DBCS code page the trail byte of a
        // character may lie in the ASCII range.
        size_t nEnd = nPos;
        while (nEnd < strText.size() && static_cast<unsigned char>(strText[nEnd]) >= 0x80) {
            const bool bLead = ::IsDBCSLeadByteEx(nCodePage, static_cast<BYTE>(strText[nEnd]));
            nEnd += bLead && nEnd + 1 < strText.size() ? 2 : 1;
        }
        AppendNonAsciiRun(strOut, strText.substr(nPos, nEnd - nPos), nCodePage);
        nPos = nEnd;
    }
    strOut += '"';
    return strOut;
}

std::string FormatJsonLine(const FileMonEvent& event, const char* pszMonitor, UINT nCodePage) {
    std::string strOut = "{";
    AppendField(strOut, "path", event.strPath, nCodePage);
    AppendField(strOut, "time", event.strTime, nCodePage);
    AppendField(strOut, "action", event.strAction, nCodePage);
    AppendField(strOut, "ruleTag", event.strRuleTag, nCodePage);
    AppendField(strOut, "source", event.strSource, nCodePage);
    AppendField(strOut, "target", event.strTarget, nCodePage);
    AppendField(strOut, "monitor", pszMonitor != nullptr ? pszMonitor : "", nCodePage);
    strOut += '}';
    return strOut;
}

std::string FormatReadableLine(const FileMonEvent& event, const char* pszMonitor) {
    std::string strAction = event.strAction;
    if (strAction.size() < 6) strAction.resize(6, ' ');
    std::string strLine = event.strTime + "  " + strAction + "  " + event.strPath + "  [" +
                          (pszMonitor != nullptr ? pszMonitor : "") + ": " + event.strRuleTag +
                          "]";
    if (HasSourceAndTarget(event)) {
        strLine += "  source " + event.strSource + "  target " + event.strTarget;
    }
    return strLine;
}

}  // namespace tern
