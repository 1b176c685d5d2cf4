// The main job end to end: ternwatch --json --duration --record watches the
// test drives while ternwatch-scenario performs its real file operations; the
// reports are checked line by line, then the recording is replayed with the
// same rules and with changed ones.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>

#include "ProgramRun.h"
#include "TestDrives.h"

namespace {

using terntest::ProgramRun;

// The value of one string field of a JSON Lines record as ternwatch writes it
// (the scenario's paths are ASCII: only \\ and \" are escaped in them).
std::string JsonField(const std::string& strLine, const std::string& strKey) {
    const std::string strStart = "\"" + strKey + "\":\"";
    size_t nPos = strLine.find(strStart);
    if (nPos == std::string::npos) {
        ADD_FAILURE() << "no " << strKey << " in " << strLine;
        return "";
    }
    std::string strValue;
    for (nPos += strStart.size(); nPos < strLine.size() && strLine[nPos] != '"'; ++nPos) {
        if (strLine[nPos] == '\\') ++nPos;
        strValue += strLine[nPos];
    }
    return strValue;
}

struct Expected {
    const char* pszMonitor;
    const char* pszAction;
    std::string strPath;
    std::string strTag;
    std::string strSource;  // checked for copies and renames only
    std::string strTarget;
};

const std::string kRulesWithoutDoc =
    "[usb-any]\nmonitor = usb\npattern = *\nactions = Add|Copy|Delete|Modify|Rename\ntag = usb-file\n"
    "[local-any]\nmonitor = local\npattern = *\nactions = Add|Copy|Delete|Modify|Rename\ntag = local-file\n";
const std::string kRules = kRulesWithoutDoc + "[local-doc]\nmonitor = local\npattern = *.doc\nactions = Modify\ntag = local-doc\n";

std::string Replace(std::string strText, const std::string& strOld, const std::string& strNew) {
    const size_t nPos = strText.find(strOld);
    return nPos == std::string::npos ? strText : strText.replace(nPos, strOld.size(), strNew);
}

struct RulesChange {
    const char* pszName;
    std::string strRules;
    std::function<bool(std::string&)> fnExpected;  // live line -> replayed line; false: not reported
};

TEST(MainJob, ReportsOfTheScenarioArriveLineByLineAndReplayTheSame) {
    const std::string strFolder = "ternwatch-mainjob-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(::GetTickCount() % 100000);
    const std::string strDir = terntest::ThisProgramFolder();  // under the install root: never reported
    const std::string strRules = strDir + "\\mainjob-rules.ini";
    const std::string strRecording = strDir + "\\" + strFolder + ".jsonl";
    std::ofstream(strRules, std::ios::binary) << kRules;

    ProgramRun host(terntest::BuildProgramPath("ternwatch.exe"),
                    {"--rules", strRules, "--json", "--duration", "20", "--record", strRecording});
    ASSERT_TRUE(host.Started());
    ProgramRun scenario(terntest::BuildProgramPath("ternwatch-scenario.exe"), {"--folder", strFolder});
    ASSERT_TRUE(scenario.Wait(60000));
    EXPECT_EQ(scenario.ExitCode(), 0u) << scenario.Out() << scenario.Err();
    ASSERT_TRUE(host.Wait(60000));
    EXPECT_EQ(host.ExitCode(), 0u) << host.Err();

    const std::string strD = terntest::FixedDriveRoot() + strFolder;
    const std::string strE = terntest::RemovableDriveRoot() + strFolder;
    const std::vector<Expected> vecExpected = {
        {"local", "Add", strD + "\\notes.txt", "local-file", "", ""},
        {"local", "Add", strD + "\\report.doc", "local-file", "", ""},
        {"usb", "Copy", strD + "\\report.doc ==> " + strE + "\\report.doc", "usb-file", strD + "\\report.doc",
         strE + "\\report.doc"},
        {"local", "Add", strD + "\\~WRD0001.tmp", "local-file", "", ""},
        {"local", "Modify", strD + "\\report.doc", "local-doc", "", ""},
        {"local", "Delete", strD + "\\~WRL0002.tmp", "local-file", "", ""},
        {"local", "Rename", strD + "\\notes.txt ==> " + strD + "\\notes-renamed.txt", "local-file",
         strD + "\\notes.txt", strD + "\\notes-renamed.txt"},
        {"local", "Delete", strD + "\\notes-renamed.txt", "local-file", "", ""},
        {"usb", "Add", terntest::RemovableDriveRoot() + strFolder + "-arrived.txt", "usb-file", "", ""},
    };

    const std::vector<std::string> vecLive = terntest::SplitLines(host.Out());
    const std::regex timeStamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
    size_t nNext = 0;
    for (const std::string& strLine : vecLive) {
        const std::string strMonitor = JsonField(strLine, "monitor"), strAction = JsonField(strLine, "action");
        const std::string strPath = JsonField(strLine, "path");
        EXPECT_TRUE(std::regex_match(JsonField(strLine, "time"), timeStamp)) << strLine;
        EXPECT_TRUE(strMonitor == "usb" || strMonitor == "local") << strLine;
        EXPECT_NE(JsonField(strLine, "ruleTag"), "") << strLine;
        // The office save hides its temporary renames.
        EXPECT_FALSE(strAction == "Rename" && strPath.find("~W") != std::string::npos) << strLine;
        if (nNext == vecExpected.size()) continue;
        const Expected& expected = vecExpected[nNext];
        if (strAction != expected.pszAction || strPath != expected.strPath) continue;
        EXPECT_EQ(strMonitor, expected.pszMonitor) << strLine;
        EXPECT_EQ(JsonField(strLine, "ruleTag"), expected.strTag) << strLine;
        if (expected.strSource.size() > 0) {
            EXPECT_EQ(JsonField(strLine, "source"), expected.strSource) << strLine;
            EXPECT_EQ(JsonField(strLine, "target"), expected.strTarget) << strLine;
        }
        ++nNext;
    }
    ASSERT_EQ(nNext, vecExpected.size())
        << "missing, in this order from here on: " << vecExpected[nNext < vecExpected.size() ? nNext : 0].pszAction
        << " " << vecExpected[nNext < vecExpected.size() ? nNext : 0].strPath << "\nreports:\n"
        << host.Out() << "\nstandard error:\n" << host.Err() << "\nscenario:\n" << scenario.Out();
    EXPECT_NE(host.Err().find("ternwatch: " + std::to_string(vecLive.size()) + " reports: Add "),
              std::string::npos)
        << "the summary counts every report: " << host.Err();

    const RulesChange kChanges[] = {
        {"the same rules", kRules, [](std::string&) { return true; }},
        {"without [local-doc]: its Modify falls to local-any", kRulesWithoutDoc,
         [](std::string& strLine) {
             strLine = Replace(strLine, "\"ruleTag\":\"local-doc\"", "\"ruleTag\":\"local-file\"");
             return true;
         }},
        {"usb-any narrowed to *.doc", Replace(kRules, "pattern = *\nactions", "pattern = *.doc\nactions"),
         [](std::string& strLine) {
             const bool bUsb = strLine.find("\"monitor\":\"usb\"") != std::string::npos;
             return !bUsb || strLine.find(".doc\",\"time\"") != std::string::npos;
         }},
    };
    for (const RulesChange& change : kChanges) {
        SCOPED_TRACE(change.pszName);
        std::vector<std::string> vecExpected;
        for (std::string strLine : vecLive) {
            if (change.fnExpected(strLine)) vecExpected.push_back(strLine);
        }
        EXPECT_EQ(vecExpected != vecLive, &change != kChanges) << "a changed rule changes some report";
        std::ofstream(strRules, std::ios::binary | std::ios::trunc) << change.strRules;
        ProgramRun replay(terntest::BuildProgramPath("ternwatch.exe"),
                          {"replay", strRecording, "--rules", strRules, "--json"});
        ASSERT_TRUE(replay.Wait(60000));
        EXPECT_EQ(replay.ExitCode(), 0u) << replay.Err();
        EXPECT_EQ(terntest::SplitLines(replay.Out()), vecExpected) << "live:\n" << host.Out();
    }
    ::DeleteFileA(strRules.c_str());
    ::DeleteFileA(strRecording.c_str());
}

TEST(MainJob, CheckAnswersWithTheFirstAcceptingRuleOfARemovableDrive) {
    const std::string strRulesDir = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "check-rules");
    const std::string strRules = strRulesDir + "\\rules.ini";
    std::ofstream(strRules, std::ios::binary)
        << "[usb-any]\nmonitor = usb\npattern = *\nactions = Copy|Add\ntag = first\n"
           "[usb-doc]\nmonitor = usb\npattern = *.doc\nactions = Copy\ntag = second\n"
           "[local-any]\nmonitor = local\npattern = *\nactions = Add\ntag = local\n";
    const std::string strE = terntest::RemovableDriveRoot();
    const struct {
        std::vector<std::string> vecArgs;
        DWORD dwExitCode;
        std::string strOutput;  // the whole standard output, or a part of standard error
    } cases[] = {
        {{"--action", "Copy", "--source", "D:\\docs\\a.doc", "--target", strE + "a.doc"}, 0,
         "accepted by the usb rules, tag first\n"},
        {{"--action", "Delete", "--path", strE + "a.doc"}, 1, "not accepted by the usb rules\n"},  // no usb rule names Delete
        {{"--monitor", "local", "--action", "Add", "--path", terntest::FixedDriveRoot() + "a.txt"}, 1,
         "ternwatch: note: CheckEvent accepts only events on a drive root watched for usb"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> vecArgs = {"check", "--rules", strRules};
        vecArgs.insert(vecArgs.end(), c.vecArgs.begin(), c.vecArgs.end());
        ProgramRun check(terntest::BuildProgramPath("ternwatch.exe"), vecArgs);
        ASSERT_TRUE(check.Wait(60000));
        EXPECT_EQ(check.ExitCode(), c.dwExitCode) << c.strOutput << check.Err();
        EXPECT_TRUE(check.Out() == c.strOutput || check.Err().find(c.strOutput) != std::string::npos)
            << check.Out() << check.Err();
    }
    terntest::RemoveTree(strRulesDir);
}

}  // namespace
