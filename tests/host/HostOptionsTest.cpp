// ternwatch's command line: every option, both value spellings, and the
// messages for what it refuses.
#include <gtest/gtest.h>

#include <sstream>

#include "HostOptions.h"

namespace {

using tern::HostMode;
using tern::HostOptions;

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
        {{}, "watch rules= json=0 trace=0 duration=0 ecs=0 stats=0"},
        {{"watch", "--rules", "D:\\r.ini", "--json", "--duration=15", "--trace"},
         "watch rules=D:\\r.ini json=1 trace=1 duration=15 ecs=0 stats=0"},
        {{"--rules=C:\\a b\\r.ini", "--duration", "31622400"},
         "watch rules=C:\\a b\\r.ini json=0 trace=0 duration=31622400 ecs=0 stats=0"},
        {{"--json", "--format", "ecs", "--stats", "5"}, "watch rules= json=1 trace=0 duration=0 ecs=1 stats=5"},
        // Help wins wherever it stands.
        {{"--help"}, "help rules= json=0 trace=0 duration=0 ecs=0 stats=0"},
        {{"-h"}, "help rules= json=0 trace=0 duration=0 ecs=0 stats=0"},
        {{"--json", "--help", "--bogus"}, "help rules= json=1 trace=0 duration=0 ecs=0 stats=0"},
        {{"check", "--help"}, "help rules= json=0 trace=0 duration=0 ecs=0 stats=0"},
        {{"check", "--action", "Add", "--path", "E:\\a.doc"},
         "check rules= json=0 trace=0 duration=0 ecs=0 stats=0 action=Add path=E:\\a.doc source= target= "
         "monitor=usb explain=0 drives="},
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
        {check({"--stats", "5"}), "~--stats"},
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
        {check({"--format=ecs"}), "option --format belongs to watch mode"},
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

}  // namespace
