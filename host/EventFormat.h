// The two printed forms of a report: a readable line and a JSON Lines record.
#ifndef TERNFILEMON_HOST_EVENTFORMAT_H
#define TERNFILEMON_HOST_EVENTFORMAT_H

#include <windows.h>

#include <string>

#include "TernFileMon.h"

namespace tern {

// A JSON string literal, quotes included. The bytes are text in code page
// nCodePage (the component's paths are in the ANSI code page); everything
// outside printable ASCII becomes a \uXXXX escape (UTF-16, surrogate pairs
// for characters beyond the BMP), so the line is valid JSON in any console.
// Bytes that are not valid in the code page are kept as U+00XX.
std::string JsonQuote(const std::string& strText, UINT nCodePage = CP_ACP);

// {"path":..,"time":..,"action":..,"ruleTag":..,"source":..,"target":..,"monitor":..}
std::string FormatJsonLine(const FileMonEvent& event, const char* pszMonitor,
                           UINT nCodePage = CP_ACP);

// "TIME  ACTION  PATH  [monitor: tag]", plus "source ... target ..." for
// copies and renames.
std::string FormatReadableLine(const FileMonEvent& event, const char* pszMonitor);

}  // namespace tern

#endif
