// A report as one Elastic Common Schema (ECS) object, the form that log
// pipelines and SIEMs read without a mapping of their own.
//
//   {"@timestamp":"2026-12-05T14:20:01Z",
//    "event":{"kind":"event","category":["file"],"type":["creation"],"action":"Copy"},
//    "file":{"path":"E:\\a.doc","name":"a.doc","directory":"E:\\","extension":"doc",
//            "drive_letter":"E"},
//    "rule":{"name":"usb-documents"},"tags":["usb-document"],
//    "ternfilemon":{"monitor":"usb","source_path":"D:\\docs\\a.doc"}}
//
// file.* describe the file the action leaves behind (the target of a copy or
// rename); ternfilemon.source_path holds the copy's source or the rename's old
// path. Text is written as UTF-8: paths the file system reported are decoded
// from code page 936 (the component converts file names to it), a copy's
// source from the ANSI code page (it comes from the list of copied files).
#ifndef TERNFILEMON_HOST_ECSFORMAT_H
#define TERNFILEMON_HOST_ECSFORMAT_H

#include <windows.h>

#include <map>
#include <string>

#include "TernFileMon.h"

namespace tern {

// The code page of the file names the component reports.
constexpr UINT FILE_NAME_CODE_PAGE = 936;

// A JSON string literal, quotes included, of text in code page nCodePage,
// written as UTF-8; control characters are escaped, bytes the code page
// rejects become U+FFFD.
std::string JsonQuoteUtf8(const std::string& strText, UINT nCodePage);

// "YYYY-MM-DD HH:MM:SS" in local time as ISO 8601 in UTC
// ("YYYY-MM-DDTHH:MM:SSZ"); empty when the text is not such a time.
std::string UtcTimestamp(const std::string& strLocalTime);

// Which rule a report's tag came from: per monitor type ("usb", "local"),
// tag -> section name of the last rule with that tag (reports take the tag
// of the last accepting rule, so with unique tags the name is exact).
using RuleNamesByTag = std::map<std::string, std::map<std::string, std::string>>;
RuleNamesByTag RuleNamesOf(const FileMonRuleList& lstUsb, const FileMonRuleList& lstLocal);

// The ECS object of one report, on one line. @timestamp falls back to the
// current time when the report's time cannot be read.
std::string FormatEcsLine(const FileMonEvent& event, const char* pszMonitor,
                          const RuleNamesByTag& ruleNames);

}  // namespace tern

#endif
