// ternwatch's input: every option of its command line in both value spellings,
// what a good rules file becomes, and for what either gets wrong, the message
// (for a rules file: the file, line and field) that the refusal names.
#include <gtest/gtest.h>

#include <sstream>

#include "HostOptions.h"
#include "RulesFile.h"

namespace {

using tern::HostMode;
using tern::HostOptions;
using tern::ParseRules;
using tern::RuleSet;

// The parsed options in one line, for table comparisons.
std::string Summary(const HostOptions& o) {
    std::ostringstream out;
    out << (o.eMode == HostMode::Watch ? "watch" : o.eMode == HostMode::Check ? "check" : "help") << " rules="
        << o.strRulesFile << " json=" << o.bJson << " trace=" << o.bTrace << " duration=" << o.nDurationS
        << " ecs=" << o.bEcs << " stats=" << o.nStatsS;
    if (o.eMode == HostMode::Check) {
        out << " action=" << o.strAction << " path=" << o.strPath << " source=" << o.strSource
            << " target=" << o.strTarget << " monitor=" << o.strCheckMonitor << " explain=" << o.bExplain
            << " drives=" << std::string(o.vecAddDrives.begin(), o.vecAddDrives.end());
    }
    return out.str();
}

TEST(HostOptions, AcceptedCommandLines) {
    const struct {
        std::vector<std::string> vecArgs;
        const char* pszSummary;
    } cases[] = {
        {{"watch", "--rules", "D:\\r.ini", "--json", "--duration=15", "--trace"},
         "watch rules=D:\\r.ini json=1 trace=1 duration=15 ecs=0 stats=0"},
        {{"--rules=C:\\a b\\r.ini", "--duration", "31622400"},
         "watch rules=C:\\a b\\r.ini json=0 trace=0 duration=31622400 ecs=0 stats=0"},
        {{"--json", "--format", "ecs", "--stats", "5"}, "watch rules= json=1 trace=0 duration=0 ecs=1 stats=5"},
        // Help wins wherever it stands.
        {{"-h"}, "help rules= json=0 trace=0 duration=0 ecs=0 stats=0"},
        {{"--json", "--help", "--bogus"}, "help rules= json=1 trace=0 duration=0 ecs=0 stats=0"},
        {{"check", "--help"}, "help rules= json=0 trace=0 duration=0 ecs=0 stats=0"},
        {{"check", "--action=Copy", "--source", "D:\\a.doc", "--target", "E:\\a.doc", "--monitor", "local",
          "--add-drive", "d", "--add-drive=G:\\", "--rules", "r.ini", "--explain"},
         "check rules=r.ini json=0 trace=0 duration=0 ecs=0 stats=0 action=Copy path= source=D:\\a.doc "
         "target=E:\\a.doc monitor=local explain=1 drives=DG"},
    };
    for (const auto& c : cases) {
        HostOptions options;
        std::string strError;
        EXPECT_TRUE(tern::ParseHostOptions(c.vecArgs, options, strError)) << strError;
        EXPECT_EQ(Summary(options), c.pszSummary);
    }
}

TEST(HostOptions, RefusalsNameTheArgument) {
    const std::vector<std::string> vecCheck = {"check", "--action", "Add", "--path", "E:\\a"};
    auto check = [&](std::vector<std::string> vecMore) {
        vecMore.insert(vecMore.begin(), vecCheck.begin(), vecCheck.end());
        return vecMore;
    };
    const struct {
        std::vector<std::string> vecArgs;
        std::string strError;  // the whole message, or "~part" for a part of it
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--json", "watch"}, "unexpected argument 'watch'"},
        {{"--rules"}, "option --rules needs a value"},
        {{"--json=yes"}, "option --json takes no value"},
        {{"--duration", "0"}, "~--duration needs a whole number"},
        {{"--duration", "1.5"}, "~--duration needs a whole number"},
        {{"--duration", "99999999999"}, "~--duration needs a whole number"},
        {{"--duration", "31622401"}, "~--duration needs a whole number"},
        {{"--stats", "0"}, "~--stats"},
        {check({"--duration", "3"}), "~belongs to watch mode"},
        {{"check", "--path", "E:\\a"}, "~needs --action"},
        {{"check", "--action", "Copy", "--source", "D:\\a"}, "~needs --path"},
        {check({"--monitor", "both"}), "~usb or local"},
        {check({"--add-drive", ""}), "~needs a value"},
        {check({"--add-drive", "1"}), "~drive letter"},
        {check({"--add-drive", "E:x"}), "~drive letter"},
        {{"--explain"}, "option --explain belongs to check mode (ternwatch check ...)"},
        {{"--format", "ecs"}, "option --format ecs needs --json"},
        {{"--json", "--format", "xml"}, "option --format takes ecs or plain, not 'xml'"},
    };
    for (const auto& c : cases) {
        HostOptions options;
        std::string strError;
        EXPECT_FALSE(tern::ParseHostOptions(c.vecArgs, options, strError)) << c.strError;
        if (c.strError[0] == '~') {
            EXPECT_NE(strError.find(c.strError.substr(1)), std::string::npos) << strError;
        } else {
            EXPECT_EQ(strError, c.strError);
        }
    }
}

std::string Refusal(const std::string& strText) {
    RuleSet rules;
    std::string strError;
    EXPECT_FALSE(ParseRules(strText, "r.ini", rules, strError)) << strText;
    EXPECT_TRUE(rules.lstUsb.empty() && rules.lstLocal.empty()) << "nothing half-read survives";
    return strError;
}

TEST(RulesFile, GoodFileBecomesTheRuleListsInFileOrderWithWarnings) {
    const std::string strText =
        "\xEF\xBB\xBF# a comment\r\n"
        "; another comment\r\n"
        "\r\n"
        "[usb docs]\r\n"
        "monitor = USB\r\n"
        "pattern =  *.doc \r\n"
        "actions = add | COPY|modify\r\n"
        "tag = usb-doc tag\r\n"
        "[local-all]\n"
        "  Pattern=D:\\*.TXT\n"
        "MONITOR=local\n"
        "actions=Add|Copy|Delete|Modify|Rename\n"
        "[usb-exact]\n"
        "monitor = usb\n"
        "pattern = Report.doc\n"
        "actions = Rename\n"
        "tag =\n";
    RuleSet rules;
    std::string strError;
    ASSERT_TRUE(ParseRules(strText, "r.ini", rules, strError)) << strError;
    // An empty tag given is kept empty; without a tag field the section name is the tag.
    auto fields = [](const FileMonRuleList& lstRules) {
        std::vector<std::string> vecFields;
        for (const FileMonRule& rule : lstRules) {
            vecFields.push_back(rule.strName + "/" + rule.strPattern + "/" + rule.strActions + "/" + rule.strRuleTag);
        }
        return vecFields;
    };
    EXPECT_EQ(fields(rules.lstUsb),
              (std::vector<std::string>{"usb docs/*.doc/Add|Copy|Modify/usb-doc tag", "usb-exact/Report.doc/Rename/"}));
    EXPECT_EQ(fields(rules.lstLocal),
              std::vector<std::string>{"local-all/D:\\*.TXT/Add|Copy|Delete|Modify|Rename/local-all"});
    // An exact name with capitals is accepted, but only a rename's old name can match it.
    ASSERT_EQ(rules.vecWarnings.size(), 1u);
    EXPECT_EQ(rules.vecWarnings[0].rfind("r.ini:15: field 'pattern': ", 0), 0u) << rules.vecWarnings[0];
}

TEST(RulesFile, MalformedFilesAreRefusedWithFileLineAndField) {
    const std::string strRule = "monitor = usb\npattern = *\nactions = Add\n";
    EXPECT_EQ(Refusal("[a]\nmonitor = usb\npattern = *\nactions = Add|Paste\n"),
              "r.ini:4: field 'actions': unknown action 'Paste' (known: Add, Copy, Delete, Modify, "
              "Rename)");
    EXPECT_EQ(Refusal("# only\n[a]\nmonitor = usb\npattern = *\n"),
              "r.ini:2: field 'actions': missing in rule [a]");
    EXPECT_EQ(Refusal("[a]\nmonitor = disk\npattern = *\nactions = Add\n"),
              "r.ini:2: field 'monitor': 'disk' is neither usb nor local");
    EXPECT_EQ(Refusal("[a]\n" + strRule + "colour = red\n"),
              "r.ini:5: field 'colour': unknown field (known: monitor, pattern, actions, tag)");
    EXPECT_EQ(Refusal("[a]\n" + strRule + "pattern = *.doc\n"),
              "r.ini:5: field 'pattern': given twice in rule [a]");
    EXPECT_EQ(Refusal("monitor = usb\n"),
              "r.ini:1: field 'monitor': comes before the first [rule name] line");
    EXPECT_EQ(Refusal("[a]\nthis is no field\n"),
              "r.ini:2: field 'line': expected 'name = value', '[rule name]' or a # comment");
    EXPECT_EQ(Refusal("[a]\n= value\n"), "r.ini:2: field 'line': the field name before '=' is missing");
    EXPECT_EQ(Refusal("[a\n"), "r.ini:1: field 'section': a section line ends with ']'");
    EXPECT_EQ(Refusal("[ ]\n"), "r.ini:1: field 'section': the rule needs a name between [ and ]");
    EXPECT_EQ(Refusal("[a]\n" + strRule + "[A]\n" + strRule),
              "r.ini:5: field 'section': a rule named 'A' is already defined");
    EXPECT_EQ(Refusal("[a]\nmonitor = usb\npattern =\nactions = Add\n"),
              "r.ini:3: field 'pattern': is empty");
    EXPECT_NE(Refusal("[a]\nmonitor = usb\npattern = *\nactions =\n").find("r.ini:4: field 'actions': an action name is empty"),
              std::string::npos);
    EXPECT_EQ(Refusal("# nothing\n\n# at all\n"),
              "r.ini:4: field 'section': no rules: write at least one [name] section");
    EXPECT_EQ(Refusal(std::string("[a]\nmonitor = usb\0x\n", 18)),
              "r.ini:2: field 'line': contains a zero byte; is this a text file?");
    // The first bad rule is reported even when later ones are good.
    EXPECT_EQ(Refusal("[a]\nmonitor = usb\npattern = *\n[b]\n" + strRule),
              "r.ini:1: field 'actions': missing in rule [a]");
}

}  // namespace
