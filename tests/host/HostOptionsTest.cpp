// ternwatch's command line: every option, both value spellings, and the
// messages for what it refuses.
#include <gtest/gtest.h>

#include "HostOptions.h"

namespace {

using tern::HostMode;
using tern::HostOptions;
using tern::ParseHostOptions;

HostOptions Parse(const std::vector<std::string>& vecArgs) {
    HostOptions options;
    std::string strError;
    EXPECT_TRUE(ParseHostOptions(vecArgs, options, strError)) << strError;
    return options;
}

std::string Refusal(const std::vector<std::string>& vecArgs) {
    HostOptions options;
    std::string strError;
    EXPECT_FALSE(ParseHostOptions(vecArgs, options, strError));
    return strError;
}

TEST(HostOptions, WatchIsTheDefaultAndTakesItsOptionsInBothSpellings) {
    const HostOptions plain = Parse({});
    EXPECT_EQ(plain.eMode, HostMode::Watch);
    EXPECT_TRUE(plain.strRulesFile.empty());
    EXPECT_FALSE(plain.bJson);
    EXPECT_FALSE(plain.bTrace);
    EXPECT_EQ(plain.nDurationS, 0UL);

    const HostOptions full = Parse({"watch", "--rules", "D:\\r.ini", "--json", "--duration=15", "--trace"});
    EXPECT_EQ(full.eMode, HostMode::Watch);
    EXPECT_EQ(full.strRulesFile, "D:\\r.ini");
    EXPECT_TRUE(full.bJson);
    EXPECT_TRUE(full.bTrace);
    EXPECT_EQ(full.nDurationS, 15UL);

    EXPECT_EQ(Parse({"--rules=C:\\a b\\r.ini", "--duration", "31622400"}).strRulesFile, "C:\\a b\\r.ini");
    EXPECT_EQ(Parse({"--duration", "31622400"}).nDurationS, 31622400UL);
}

TEST(HostOptions, HelpWinsWhereverItStands) {
    EXPECT_EQ(Parse({"--help"}).eMode, HostMode::Help);
    EXPECT_EQ(Parse({"-h"}).eMode, HostMode::Help);
    EXPECT_EQ(Parse({"--json", "--help", "--bogus"}).eMode, HostMode::Help);
    EXPECT_EQ(Parse({"check", "--help"}).eMode, HostMode::Help);
}

TEST(HostOptions, CheckTakesTheEventAndDrives) {
    const HostOptions path = Parse({"check", "--action", "Add", "--path", "E:\\a.doc"});
    EXPECT_EQ(path.eMode, HostMode::Check);
    EXPECT_EQ(path.strAction, "Add");
    EXPECT_EQ(path.strPath, "E:\\a.doc");
    EXPECT_EQ(path.strCheckMonitor, "usb");

    const HostOptions copy = Parse({"check", "--action=Copy", "--source", "D:\\a.doc", "--target",
                                    "E:\\a.doc", "--monitor", "local", "--add-drive", "d",
                                    "--add-drive=G:\\", "--rules", "r.ini"});
    EXPECT_EQ(copy.strSource, "D:\\a.doc");
    EXPECT_EQ(copy.strTarget, "E:\\a.doc");
    EXPECT_TRUE(copy.strPath.empty());
    EXPECT_EQ(copy.strCheckMonitor, "local");
    EXPECT_EQ(copy.vecAddDrives, (std::vector<char>{'D', 'G'}));
    EXPECT_EQ(copy.strRulesFile, "r.ini");
}

TEST(HostOptions, RefusalsNameTheArgument) {
    EXPECT_EQ(Refusal({"--bogus"}), "unknown option '--bogus'");
    EXPECT_EQ(Refusal({"-x"}), "unknown option '-x'");
    EXPECT_EQ(Refusal({"stray"}), "unexpected argument 'stray'");
    EXPECT_EQ(Refusal({"--json", "watch"}), "unexpected argument 'watch'");
    EXPECT_EQ(Refusal({"--rules"}), "option --rules needs a value");
    EXPECT_EQ(Refusal({"--rules="}), "option --rules needs a value");
    EXPECT_EQ(Refusal({"--json=yes"}), "option --json takes no value");
    for (const char* pszBad : {"0", "-5", "x", "1.5", "99999999999", "31622401"}) {
        EXPECT_NE(Refusal({"--duration", pszBad}).find("--duration needs a whole number"),
                  std::string::npos)
            << pszBad;
    }
    EXPECT_EQ(Refusal({"--duration", ""}), "option --duration needs a value");
    EXPECT_NE(Refusal({"--action", "Add"}).find("belongs to check mode"), std::string::npos);
    EXPECT_NE(Refusal({"check", "--action", "Add", "--path", "E:\\a", "--duration", "3"})
                  .find("belongs to watch mode"),
              std::string::npos);
    EXPECT_NE(Refusal({"check", "--path", "E:\\a"}).find("needs --action"), std::string::npos);
    EXPECT_NE(Refusal({"check", "--action", "Copy", "--source", "D:\\a"}).find("needs --path"),
              std::string::npos);
    EXPECT_NE(Refusal({"check", "--action", "Add", "--path", "E:\\a", "--monitor", "both"})
                  .find("usb or local"),
              std::string::npos);
    for (const char* pszBad : {"", "1", "EE", "E:x", "E\\"}) {
        EXPECT_NE(Refusal({"check", "--action", "Add", "--path", "E:\\a", "--add-drive", pszBad})
                      .find(std::string(pszBad).empty() ? "needs a value" : "drive letter"),
                  std::string::npos)
            << pszBad;
    }
}

TEST(HostOptions, HelpTextDocumentsEveryOptionAndTheRegistryWrite) {
    const std::string strUsage = tern::HostUsageText();
    for (const char* pszOption : {"--rules", "--json", "--duration", "--trace", "--action", "--path",
                                  "--source", "--target", "--monitor", "--add-drive", "--help", "check"}) {
        EXPECT_NE(strUsage.find(pszOption), std::string::npos) << pszOption;
    }
    EXPECT_NE(strUsage.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\AutoTest"), std::string::npos);
}

}  // namespace
