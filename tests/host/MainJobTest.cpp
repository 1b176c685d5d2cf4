// The main job end to end: ternwatch --json --duration --record watches the
// test drives while ternwatch-scenario performs its real file operations; the
// reports are checked line by line, then the recording is replayed with the
// same rules and with changed ones.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <map>

#include "ProgramRun.h"
#include "TestDrives.h"

namespace {

using terntest::ProgramRun;

// The value of one string field of a JSON Lines record as ternwatch writes it
// (escapes: \\ \" and \u00XX for the ASCII controls; the scenario's paths are ASCII).
bool JsonField(const std::string& strLine, const std::string& strKey, std::string& strValue) {
    const std::string strStart = "\"" + strKey + "\":\"";
    size_t nPos = strLine.find(strStart);
    if (nPos == std::string::npos) return false;
    strValue.clear();
    for (nPos += strStart.size(); nPos < strLine.size(); ++nPos) {
        const char ch = strLine[nPos];
        if (ch == '"') return true;
        if (ch == '\\' && nPos + 1 < strLine.size()) {
            const char chNext = strLine[++nPos];
            if (chNext == 'u' && nPos + 4 < strLine.size()) {
                strValue += static_cast<char>(std::stoi(strLine.substr(nPos + 1, 4), nullptr, 16));
                nPos += 4;
            } else {
                strValue += chNext;
            }
        } else {
            strValue += ch;
        }
    }
    return false;
}

struct Report {
    std::map<std::string, std::string> mapFields;
    std::string strLine;
    const std::string& operator[](const char* pszKey) const { return mapFields.at(pszKey); }
};

std::vector<Report> ParseReports(const std::string& strOut) {
    std::vector<Report> vecReports;
    for (const std::string& strLine : terntest::SplitLines(strOut)) {
        Report report;
        report.strLine = strLine;
        for (const char* pszKey : {"path", "time", "action", "ruleTag", "source", "target", "monitor"}) {
            std::string strValue;
            EXPECT_TRUE(JsonField(strLine, pszKey, strValue)) << "no " << pszKey << " in " << strLine;
            report.mapFields[pszKey] = strValue;
        }
        vecReports.push_back(report);
    }
    return vecReports;
}

bool IsTimeStamp(const std::string& strTime) {
    if (strTime.size() != 19) return false;
    for (size_t i = 0; i < strTime.size(); ++i) {
        const bool bSeparator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
        const char chSeparator = i == 10 ? ' ' : (i == 13 || i == 16) ? ':' : '-';
        if (bSeparator ? strTime[i] != chSeparator : !std::isdigit(static_cast<unsigned char>(strTime[i]))) {
            return false;
        }
    }
    return true;
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

    const std::vector<Report> vecReports = ParseReports(host.Out());
    size_t nNext = 0;
    for (const Report& report : vecReports) {
        EXPECT_TRUE(IsTimeStamp(report["time"])) << report.strLine;
        EXPECT_TRUE(report["monitor"] == "usb" || report["monitor"] == "local") << report.strLine;
        EXPECT_EQ(report["ruleTag"].empty(), false) << report.strLine;
        // The office save hides its temporary renames.
        EXPECT_FALSE(report["action"] == "Rename" && report["path"].find("~W") != std::string::npos)
            << report.strLine;
        if (nNext == vecExpected.size()) continue;
        const Expected& expected = vecExpected[nNext];
        if (report["action"] != expected.pszAction || report["path"] != expected.strPath) continue;
        EXPECT_EQ(report["monitor"], expected.pszMonitor) << report.strLine;
        EXPECT_EQ(report["ruleTag"], expected.strTag) << report.strLine;
        if (expected.strSource.size() > 0) {
            EXPECT_EQ(report["source"], expected.strSource) << report.strLine;
            EXPECT_EQ(report["target"], expected.strTarget) << report.strLine;
        }
        ++nNext;
    }
    ASSERT_EQ(nNext, vecExpected.size())
        << "missing, in this order from here on: " << vecExpected[nNext < vecExpected.size() ? nNext : 0].pszAction
        << " " << vecExpected[nNext < vecExpected.size() ? nNext : 0].strPath << "\nreports:\n"
        << host.Out() << "\nstandard error:\n" << host.Err() << "\nscenario:\n" << scenario.Out();
    EXPECT_NE(host.Err().find("ternwatch: " + std::to_string(vecReports.size()) + " reports: Add "),
              std::string::npos)
        << "the summary counts every report: " << host.Err();

    const std::vector<std::string> vecLive = terntest::SplitLines(host.Out());
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
    const std::string strTernwatch = terntest::BuildProgramPath("ternwatch.exe");
    const std::string strE = terntest::RemovableDriveRoot();

    ProgramRun copy(strTernwatch, {"check", "--rules", strRules, "--action", "Copy", "--source",
                                   "D:\\docs\\a.doc", "--target", strE + "a.doc"});
    ASSERT_TRUE(copy.Wait(60000));
    EXPECT_EQ(copy.ExitCode(), 0u) << copy.Err();
    EXPECT_EQ(copy.Out(), "accepted by the usb rules, tag first\n");

    ProgramRun deletion(strTernwatch, {"check", "--rules", strRules, "--action", "Delete", "--path",
                                       strE + "a.doc"});
    ASSERT_TRUE(deletion.Wait(60000));
    EXPECT_EQ(deletion.ExitCode(), 1u) << "no usb rule names Delete";
    EXPECT_EQ(deletion.Out(), "not accepted by the usb rules\n");

    ProgramRun local(strTernwatch, {"check", "--rules", strRules, "--monitor", "local", "--action",
                                    "Add", "--path", terntest::FixedDriveRoot() + "a.txt"});
    ASSERT_TRUE(local.Wait(60000));
    EXPECT_EQ(local.ExitCode(), 1u) << "CheckEvent accepts only events on a usb root";
    EXPECT_NE(local.Err().find("ternwatch: note: CheckEvent accepts only events on a drive root watched for usb"),
              std::string::npos);
    terntest::RemoveTree(strRulesDir);
}

}  // namespace
