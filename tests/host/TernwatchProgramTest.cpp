// ternwatch.exe run as a user runs it: its exit codes, what goes to which
// stream, and the registry switch of --trace. The main job end to end:
// ternwatch --json --duration --record watches the test drives while
// ternwatch-scenario performs its real file operations; the reports are checked
// line by line, then the recording is replayed with the same rules and with
// changed ones. Replay refuses malformed recordings, and the two replay exports
// are called the way a host calls them.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <utility>

#include "DebugOutputCapture.h"
#include "HostSession.h"
#include "ProgramRun.h"
#include "TernFileMonReplay.h"
#include "TestDrives.h"
#include "TestFiles.h"

namespace {

using terntest::ProgramRun;

bool Contains(const std::string& strText, const std::string& strPart) {
    return strText.find(strPart) != std::string::npos;
}

bool AutoTestValueExists() {
    return ::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE", "AutoTest", RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

class TernwatchProgram : public ::testing::Test {
protected:
    void SetUp() override {
        m_strTernwatch = terntest::BuildProgramPath("ternwatch.exe");
        m_strFolder = terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "ternwatch-test");
    }
    void TearDown() override { terntest::RemoveTree(m_strFolder); }

    std::string WriteRules(const std::string& strText) {
        const std::string strPath = m_strFolder + "\\rules-" + std::to_string(m_nFiles++) + ".ini";
        std::ofstream(strPath, std::ios::binary) << strText;
        return strPath;
    }

    std::string m_strTernwatch;
    std::string m_strFolder;
    int m_nFiles = 0;
};

TEST_F(TernwatchProgram, MalformedRulesFileIsRefusedBeforeAnythingStarts) {
    const std::string strRules =
        WriteRules("[usb-any]\nmonitor = usb\npattern = *\nactions = Add\n\n[bad]\nmonitor = usb\n"
                   "pattern = *.doc\nactions = Add|Save\n");
    ProgramRun run(m_strTernwatch, {"--rules", strRules, "--duration", "30"});
    ASSERT_TRUE(run.Wait(30000)) << "a refused file must not start the 30 s watch";
    EXPECT_EQ(run.ExitCode(), 2u);
    EXPECT_TRUE(run.Out().empty()) << run.Out();
    EXPECT_EQ(run.Err(), "ternwatch: " + strRules +
                             ":9: field 'actions': unknown action 'Save' (known: Add, Copy, Delete, "
                             "Modify, Rename)\n");
    EXPECT_FALSE(Contains(run.Err(), "[log]")) << "the component was never created";

    ProgramRun missing(m_strTernwatch, {"--rules", m_strFolder + "\\none.ini"});
    ASSERT_TRUE(missing.Wait(30000));
    EXPECT_EQ(missing.ExitCode(), 2u);
    EXPECT_TRUE(Contains(missing.Err(), m_strFolder + "\\none.ini: cannot open the rules file"));
}

TEST_F(TernwatchProgram, DurationRunStopsCleanlyAndTraceLeavesTheRegistryAsItWas) {
    terntest::DeleteAutoTestValue();
    const std::string strRules =
        WriteRules("[local-any]\nmonitor = local\npattern = *\nactions = Add|Delete\n");
    ProgramRun run(m_strTernwatch, {"--rules", strRules, "--duration", "1", "--trace"});
    ASSERT_TRUE(run.Wait(60000));
    EXPECT_EQ(run.ExitCode(), 0u) << run.Err();
    EXPECT_FALSE(AutoTestValueExists()) << "--trace removes the switch it created";

    EXPECT_TRUE(Contains(run.Err(), "ternwatch: watching local (1 rules); stopping after 1 s"));
    EXPECT_TRUE(Contains(run.Err(), "ternwatch: stopping (duration reached)"));
    EXPECT_TRUE(Contains(run.Err(), "[log] Enter Stop END")) << "StopMonitoring reached the component";
    EXPECT_TRUE(Contains(run.Err(), "[trace] A CTernFileMon object was deleted!"))
        << "the last Release destroyed the component, seen through the debugger output";

    // A switch that was there before stays there.
    ASSERT_TRUE(terntest::SetAutoTestValue());
    ProgramRun again(m_strTernwatch, {"--rules", strRules, "--duration", "1", "--trace"});
    ASSERT_TRUE(again.Wait(60000));
    EXPECT_EQ(again.ExitCode(), 0u);
    EXPECT_TRUE(AutoTestValueExists());
    terntest::DeleteAutoTestValue();
}

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

TEST_F(TernwatchProgram, CheckAnswersWithTheFirstAcceptingRuleOfARemovableDrive) {
    const std::string strRules = WriteRules(
        "[usb-any]\nmonitor = usb\npattern = *\nactions = Copy|Add\ntag = first\n"
        "[usb-doc]\nmonitor = usb\npattern = *.doc\nactions = Copy\ntag = second\n"
        "[local-any]\nmonitor = local\npattern = *\nactions = Add\ntag = local\n");
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
        ProgramRun check(m_strTernwatch, vecArgs);
        ASSERT_TRUE(check.Wait(60000));
        EXPECT_EQ(check.ExitCode(), c.dwExitCode) << c.strOutput << check.Err();
        EXPECT_TRUE(check.Out() == c.strOutput || check.Err().find(c.strOutput) != std::string::npos)
            << check.Out() << check.Err();
    }
}

TEST_F(TernwatchProgram, MalformedRecordingLineIsRefusedWithItsLineNumber) {
    const std::string strRules = WriteRules("[usb-any]\nmonitor = usb\npattern = *\nactions = Add\n");
    const std::string strGood =
        "{\"kind\":\"setup\",\"installRoot\":\"c:\",\"usbRoots\":\"E:\\\\\"}\n"
        "{\"kind\":\"added\",\"handler\":1,\"monitor\":\"local\",\"time\":1,\"path\":\"D:\\\\a.txt\"}\n";
    const std::string strNote = "{\"kind\":\"removed\",\"handler\":1,\"monitor\":\"local\",\"time\":1,\"path\":";
    const struct {
        std::string strLine, strError;
    } kCases[] = {
        {"{\"kind\":\"added\",", "not a recording line"},
        {"{\"kind\":\"moved\",\"handler\":1}", "unknown kind \"moved\""},
        {"{\"kind\":\"renamed\",\"handler\":1,\"monitor\":\"local\",\"time\":1,\"path\":\"D:\\\\a\"}",
         "missing field \"newPath\""},
        {strNote + "\"D:\\\\" + std::string(300, 'x') + "\"}", "field \"path\" is longer than 259 bytes"},
        {strNote + "\"D:\\\\" + std::string(9000, 'x') + "\"}", "longer than 8192 bytes"},
        {strNote + "\"D:\\\\\\u0100\"}", "\\u0100 is not a byte"},
        {strNote + "7}", "field \"path\" must be a string"},
    };
    for (const auto& testCase : kCases) {
        const std::string strFile = m_strFolder + "\\replay-bad.jsonl";
        ASSERT_TRUE(terntest::WriteTextFile(strFile, strGood + testCase.strLine + "\n"));
        ProgramRun replay(m_strTernwatch, {"replay", strFile, "--rules", strRules, "--json"});
        ASSERT_TRUE(replay.Wait(60000));
        EXPECT_EQ(replay.ExitCode(), 2u) << testCase.strError;
        EXPECT_NE(replay.Err().find("ternwatch: " + strFile + ":3: "), std::string::npos) << replay.Err();
        EXPECT_NE(replay.Err().find(testCase.strError), std::string::npos) << replay.Err();
        EXPECT_EQ(replay.Out(), "") << "nothing is replayed from a malformed recording";
    }
}

const TernPolicyNote* g_pNextNote = nullptr;
const TernPolicyNote* TERN_CALLBACK HandOutOnce(void*) { return std::exchange(g_pNextNote, nullptr); }
void TERN_CALLBACK Recorder(const TernPolicyNote*) {}

TEST(Replay, ExportsRefuseBadArgumentsAndALiveComponent) {
    terntest::HostSession session;
    ASSERT_TRUE(session.IsOpen());
    auto pfnSet = TernGetExport<PFN_SetPolicyRecorder>(session.Module(), "SetPolicyRecorder");
    auto pfnReplay = TernGetExport<PFN_ReplayPolicyNotes>(session.Module(), "ReplayPolicyNotes");
    ASSERT_TRUE(pfnSet != nullptr && pfnReplay != nullptr);
    EXPECT_EQ(pfnSet(Recorder), nullptr);
    EXPECT_EQ(pfnSet(nullptr), Recorder);

    FileMonRuleList rules = {terntest::RuleForAll("*", "any")};
    TernReplaySetup setup = {sizeof(setup), &rules, nullptr, &rules, nullptr};
    EXPECT_EQ(pfnReplay(&setup, HandOutOnce, nullptr), TERN_REPLAY_BUSY) << "a component object is alive";
    session.Close();
    EXPECT_EQ(pfnReplay(nullptr, HandOutOnce, nullptr), TERN_REPLAY_NULL_ARGUMENT);
    EXPECT_EQ(pfnReplay(&setup, nullptr, nullptr), TERN_REPLAY_NULL_ARGUMENT);
    TernReplaySetup shortSetup = setup;
    shortSetup.cbSize = 4;
    EXPECT_EQ(pfnReplay(&shortSetup, HandOutOnce, nullptr), TERN_REPLAY_NULL_ARGUMENT);

    TernPolicyNote note = {sizeof(note), 9, 1, FILEMON_LOCAL, 1, 0, "D:\\a.txt", "", nullptr, "", ""};
    for (std::uint32_t nKind : {0u, 5u, 9u}) {
        note.nKind = nKind;
        g_pNextNote = &note;
        EXPECT_EQ(pfnReplay(&setup, HandOutOnce, nullptr), TERN_REPLAY_BAD_NOTE) << nKind;
    }
    note.nKind = TERN_NOTE_RENAMED;
    note.pszNewPath = nullptr;
    g_pNextNote = &note;
    EXPECT_EQ(pfnReplay(&setup, HandOutOnce, nullptr), TERN_REPLAY_BAD_NOTE) << "a rename without its new path";
    note.nKind = TERN_NOTE_ADDED;
    g_pNextNote = &note;
    EXPECT_EQ(pfnReplay(&setup, HandOutOnce, nullptr), TERN_REPLAY_OK);
}

}  // namespace
