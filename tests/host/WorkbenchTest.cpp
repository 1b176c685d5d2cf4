// ternwatch as a rules workbench: check --explain's verdicts, asked of the
// real component; and the printed forms of a report: JSON quoting, the
// readable line and ECS objects.
#include <gtest/gtest.h>
#include <windows.h>

#include "ComponentHost.h"
#include "EcsFormat.h"
#include "EventFormat.h"
#include "ReportPrinter.h"
#include "RuleExplainer.h"

namespace {

FileMonEvent MakeEvent(const char* pszAction, const std::string& strPath,
                       const std::string& strSource = "", const std::string& strTarget = "") {
    FileMonEvent event;
    event.strAction = pszAction;
    event.strSource = strSource;
    event.strTarget = strTarget;
    event.strPath = strPath.empty() ? strSource + " ==> " + strTarget : strPath;
    event.strTime = "2026-12-05 15:20:01";
    return event;
}

void TERN_CALLBACK IgnoreReport(FileMonEvent*) {}

// One rule per kind of test: exact, wildcard, an exact name with capitals
// (never equal to a lower-cased name), a wildcard for copies only.
const FileMonRuleList kRules = {
    {"report.doc", "doc-modify", "Modify", "t-doc"},
    {"*.txt", "txt-add-delete", "Add|Delete", "t-txt"},
    {"Report.doc", "capital", "Rename|Modify", "t-capital"},
    {"*", "any-copy", "COPY", "t-copy"},
};

TEST(RulesWorkbench, ExplainGivesEachRulesVerdictsAndTheWinnerCheckEventPicks) {
    tern::ReportPrinter printer(false, stdout, stdout);
    tern::ComponentHost host(printer);
    std::string strError;
    ASSERT_TRUE(host.Load(tern::ProgramFolder(), strError)) << strError;
    // Starting usb records the removable test drive E:, which opens the root gate.
    FileMonRuleList lstUsb = kRules;
    FileMonFilterList filter = {FILEMON_USB, &lstUsb};
    ASSERT_TRUE(host.Monitor()->StartMonitoring(IgnoreReport, &filter));

    struct Case {
        FileMonEvent event;
        bool bGate;
        const char* pszVerdicts;  // per rule: P pattern only, A action only, B both, - neither
        int nWinner;
    };
    const Case cases[] = {
        {MakeEvent("Add", "E:\\d\\notes.txt"), true, "-B-P", 1},
        {MakeEvent("Modify", "E:\\D\\Report.DOC"), true, "B-AP", 0},
        {MakeEvent("Copy", "", "D:\\a.txt", "E:\\a.txt"), true, "-P-B", 3},
        {MakeEvent("Delete", "E:\\notes.doc"), true, "-A-P", -1},
        {MakeEvent("Add", "D:\\not-removable.txt"), false, "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event.strAction + " " + c.event.strPath);
        const tern::Explanation explanation = tern::ExplainEvent(*host.Monitor(), kRules, c.event);
        EXPECT_EQ(explanation.bRootGate, c.bGate);
        std::string strVerdicts;
        for (const tern::RuleVerdict& verdict : explanation.vecRules) {
            strVerdicts +=
                verdict.bPattern ? (verdict.bAction ? 'B' : 'P') : (verdict.bAction ? 'A' : '-');
            EXPECT_EQ(verdict.bAccepted, verdict.bPattern && verdict.bAction);
        }
        EXPECT_EQ(strVerdicts, c.pszVerdicts);
        EXPECT_EQ(explanation.nWinner, c.nWinner);

        // The whole list, asked once, agrees with the rule-by-rule walk.
        FileMonRuleList lstAll = kRules;
        FileMonEvent event = c.event;
        const bool bAccepted = host.Monitor()->CheckEvent(&lstAll, &event);
        EXPECT_EQ(explanation.bAccepted, bAccepted);
        EXPECT_EQ(bAccepted, c.nWinner >= 0);
        if (c.nWinner >= 0) {
            EXPECT_EQ(explanation.strTag, std::next(kRules.begin(), c.nWinner)->strRuleTag);
            EXPECT_EQ(event.strRuleTag, explanation.strTag);
        }
    }
    const std::vector<std::string> vecLines = tern::FormatExplanation(
        tern::ExplainEvent(*host.Monitor(), kRules, cases[0].event), kRules, "usb");
    ASSERT_EQ(vecLines.size(), kRules.size() + 2);
    EXPECT_NE(vecLines[2].find("[txt-add-delete]  pattern yes action yes -> accepts, tag t-txt"),
              std::string::npos)
        << vecLines[2];
    EXPECT_EQ(vecLines.back().find("  winner: rule 2 [txt-add-delete], tag t-txt"), 0u)
        << vecLines.back();

    EXPECT_TRUE(host.Monitor()->StopMonitoring(FILEMON_USB));
    EXPECT_EQ(host.ReleaseComponent(), 0u);
}

TEST(RulesWorkbench, EcsLineCarriesTheDocumentedFields) {
    FileMonEvent copy = MakeEvent("Copy", "", "D:\\docs\\a.doc", "E:\\a.doc");
    copy.strRuleTag = "usb-document";
    FileMonRuleList lstUsb = {{"*", "usb-any", "Copy", "usb-file"},
                              {"*.doc", "usb-documents", "Copy", "usb-document"}};
    const tern::RuleNamesByTag names = tern::RuleNamesOf(lstUsb, FileMonRuleList());
    const std::string strTime = tern::UtcTimestamp(copy.strTime);
    EXPECT_EQ(
        tern::FormatEcsLine(copy, "usb", names),
        "{\"@timestamp\":\"" + strTime +
            "\",\"event\":{\"kind\":\"event\",\"category\":[\"file\"],\"type\":[\"creation\"],"
            "\"action\":\"Copy\"},\"file\":{\"path\":\"E:\\\\a.doc\",\"name\":\"a.doc\","
            "\"directory\":\"E:\\\\\",\"extension\":\"doc\",\"drive_letter\":\"E\"},"
            "\"rule\":{\"name\":\"usb-documents\"},\"tags\":[\"usb-document\"],"
            "\"ternfilemon\":{\"monitor\":\"usb\",\"source_path\":\"D:\\\\docs\\\\a.doc\"}}");

    // event.type per action; a report without a known rule or tag leaves them out.
    const struct {
        FileMonEvent event;
        const char* pszType;
    } types[] = {{MakeEvent("Add", "d:\\x\\.profile"), "creation"},
                 {MakeEvent("Delete", "d:\\x\\.profile"), "deletion"},
                 {MakeEvent("Modify", "d:\\x\\.profile"), "change"},
                 {MakeEvent("Rename", "", "d:\\x\\old", "d:\\x\\.profile"), "change"}};
    for (const auto& t : types) {
        const std::string strLine = tern::FormatEcsLine(t.event, "local", names);
        EXPECT_NE(strLine.find(std::string("\"type\":[\"") + t.pszType + "\"]"), std::string::npos)
            << strLine;
        EXPECT_NE(
            strLine.find("\"name\":\".profile\",\"directory\":\"d:\\\\x\",\"drive_letter\":\"D\"}"),
            std::string::npos)
            << strLine;
        EXPECT_EQ(strLine.find("\"rule\""), std::string::npos);
        EXPECT_EQ(strLine.find("\"tags\""), std::string::npos);
    }
}

TEST(RulesWorkbench, EcsTextIsUtf8FromTheCodePageThatProducedIt) {
    // File names arrive in code page 936 (B2E2 CAD4 is "测试"); a copy's source in
    // the ANSI code page (escapes are JsonQuote's, as in the other lines).
    EXPECT_EQ(tern::JsonQuoteUtf8("E:\\\xB2\xE2\xCA\xD4.txt", tern::FILE_NAME_CODE_PAGE),
              "\"E:\\\\\xE6\xB5\x8B\xE8\xAF\x95.txt\"");
    EXPECT_EQ(tern::JsonQuoteUtf8("caf\xE9", 1252), "\"caf\xC3\xA9\"");

    // Times: local to UTC and back gives the same wall-clock time; malformed ones are refused.
    const std::string strUtc = tern::UtcTimestamp("2026-07-01 23:59:58");
    ASSERT_EQ(strUtc.size(), 20u) << strUtc;
    SYSTEMTIME utc = {}, local = {};
    ASSERT_EQ(std::sscanf(strUtc.c_str(), "%4hu-%2hu-%2huT%2hu:%2hu:%2huZ", &utc.wYear, &utc.wMonth,
                          &utc.wDay, &utc.wHour, &utc.wMinute, &utc.wSecond),
              6);
    ASSERT_TRUE(::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    EXPECT_EQ(local.wMonth * 100 + local.wDay, 701);
    EXPECT_EQ(local.wHour * 10000 + local.wMinute * 100 + local.wSecond, 235958);
    for (const char* pszBad : {"", "yesterday", "2026-13-01 00:00:00", "2026-02-30 10:00:00",
                               "2026-12-05 15:20:01 extra"}) {
        EXPECT_EQ(tern::UtcTimestamp(pszBad), "") << pszBad;
    }
}

// JSON's escapes, and bytes above 0x7F decoded in their code page.
TEST(EventFormat, JsonQuotingEscapesAndDecodesInTheCodePage) {
    const struct {
        std::string strIn;
        unsigned int nCodePage;
        const char* pszQuoted;
    } cases[] = {
        {"C:\\a\\b", 1252, "\"C:\\\\a\\\\b\""},
        {"say \"hi\"", 1252, "\"say \\\"hi\\\"\""},
        {"\t\r\n\b\f", 1252, "\"\\t\\r\\n\\b\\f\""},
        {std::string("\x01\x1f\x7f", 3), 1252, "\"\\u0001\\u001f\\u007f\""},
        {std::string("a\0b", 3), 1252, "\"a\\u0000b\""},
        {"/ ok ~", 1252, "\"/ ok ~\""},
        {"caf\xE9 \x80", 1252, "\"caf\\u00e9 \\u20ac\""},  // e acute and the euro sign
        // The "copy of" word, whose trail bytes are no ASCII.
        {"D:\\\xB8\xB4\xBC\xFE a.doc", 936, "\"D:\\\\\\u590d\\u4ef6 a.doc\""},
        {"\x81\x5C", 936, "\"\\u4e57\""},  // a trail byte in the ASCII range is no backslash
        {"x\x81", 936, "\"x\\u0081\""},    // a lead byte without its trail byte: kept as U+00XX
    };
    for (const auto& c : cases) EXPECT_EQ(tern::JsonQuote(c.strIn, c.nCodePage), c.pszQuoted) << c.strIn;
}

TEST(EventFormat, ReadableLineShowsSourceAndTargetOnlyForCopiesAndRenames) {
    FileMonEvent copy = MakeEvent("Copy", "", "D:\\docs\\a.doc", "E:\\a.doc");
    copy.strRuleTag = "usb-doc";
    EXPECT_EQ(tern::FormatReadableLine(copy, "usb"),
              "2026-12-05 15:20:01  Copy    D:\\docs\\a.doc ==> E:\\a.doc  [usb: usb-doc]  "
              "source D:\\docs\\a.doc  target E:\\a.doc");
    FileMonEvent add = copy;
    add.strAction = "Add";
    add.strPath = "D:\\n.txt";
    EXPECT_EQ(tern::FormatReadableLine(add, "local"),
              "2026-12-05 15:20:01  Add     D:\\n.txt  [local: usb-doc]")
        << "an Add keeps the stale source and target of the record out of sight";
}

}  // namespace
