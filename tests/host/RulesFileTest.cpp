// The rules file: what a good file becomes, and for every way of getting it
// wrong, the file, line and field that the refusal names.
#include <gtest/gtest.h>

#include "RulesFile.h"

namespace {

using tern::ParseRules;
using tern::RuleSet;

std::string Refusal(const std::string& strText) {
    RuleSet rules;
    std::string strError;
    EXPECT_FALSE(ParseRules(strText, "r.ini", rules, strError)) << strText;
    EXPECT_TRUE(rules.lstUsb.empty() && rules.lstLocal.empty()) << "nothing half-read survives";
    return strError;
}

TEST(RulesFile, GoodFileBecomesTheRuleListsInFileOrder) {
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
        "  Pattern=*\n"
        "MONITOR=local\n"
        "actions=Add|Copy|Delete|Modify|Rename\n"
        "[usb-exact]\n"
        "monitor = usb\n"
        "pattern = report.doc\n"
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
              (std::vector<std::string>{"usb docs/*.doc/Add|Copy|Modify/usb-doc tag", "usb-exact/report.doc/Rename/"}));
    EXPECT_EQ(fields(rules.lstLocal), std::vector<std::string>{"local-all/*/Add|Copy|Delete|Modify|Rename/local-all"});
    EXPECT_TRUE(rules.vecWarnings.empty());
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

TEST(RulesFile, SurprisingPatternsAreAcceptedWithAWarning) {
    RuleSet rules;
    std::string strError;
    ASSERT_TRUE(ParseRules("[a]\nmonitor = local\npattern = Report.doc\nactions = Rename\n"
                           "[b]\nmonitor = local\npattern = d:\\x\\a.txt\nactions = Add\n"
                           "[c]\nmonitor = local\npattern = D:\\*.TXT\nactions = Add\n",
                           "r.ini", rules, strError))
        << strError;
    ASSERT_EQ(rules.vecWarnings.size(), 2u);
    EXPECT_EQ(rules.vecWarnings[0].rfind("r.ini:3: field 'pattern': ", 0), 0u) << rules.vecWarnings[0];
    EXPECT_NE(rules.vecWarnings[0].find("lower case"), std::string::npos);
    EXPECT_EQ(rules.vecWarnings[1].rfind("r.ini:7: field 'pattern': ", 0), 0u) << rules.vecWarnings[1];
    EXPECT_EQ(rules.lstLocal.size(), 3u);
}

}  // namespace
