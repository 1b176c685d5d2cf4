// ternwatch --record and ternwatch replay: the main job's scenario recorded
// live, replayed with its own rules and with changed ones; malformed
// recordings; and the two exports called the way a host calls them.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <utility>

#include "HostSession.h"
#include "ProgramRun.h"
#include "TernFileMonReplay.h"
#include "TestDrives.h"

namespace {

using terntest::ProgramRun;
using Lines = std::vector<std::string>;

const std::string kRulesWithoutDoc =
    "[usb-any]\nmonitor = usb\npattern = *\nactions = Add|Copy|Delete|Modify|Rename\ntag = usb-file\n"
    "[local-any]\nmonitor = local\npattern = *\nactions = Add|Copy|Delete|Modify|Rename\ntag = local-file\n";
const std::string kRules = kRulesWithoutDoc + "[local-doc]\nmonitor = local\npattern = *.doc\nactions = Modify\ntag = local-doc\n";

std::string WriteFile(const std::string& strPath, const std::string& strText) {
    std::ofstream(strPath, std::ios::binary) << strText;
    return strPath;
}

std::string Replace(std::string strText, const std::string& strOld, const std::string& strNew) {
    const size_t nPos = strText.find(strOld);
    return nPos == std::string::npos ? strText : strText.replace(nPos, strOld.size(), strNew);
}

ProgramRun* Replay(const std::string& strRecording, const std::string& strRules) {
    return new ProgramRun(terntest::BuildProgramPath("ternwatch.exe"),
                          {"replay", strRecording, "--rules", strRules, "--json"});
}

struct RulesChange {
    const char* pszName;
    std::string strRules;
    std::function<bool(std::string&)> fnExpected;  // live line -> replayed line; false: not reported
};

TEST(Replay, ScenarioRecordedLiveReplaysLineForLineAndWithChangedRules) {
    const std::string strFolder = "ternwatch-replay-" + std::to_string(::GetCurrentProcessId());
    const std::string strDir = terntest::ThisProgramFolder();  // under the install root: never reported
    const std::string strRules = WriteFile(strDir + "\\replay-rules.ini", kRules);
    const std::string strRecording = strDir + "\\replay-" + strFolder + ".jsonl";

    ProgramRun host(terntest::BuildProgramPath("ternwatch.exe"),
                    {"--rules", strRules, "--json", "--duration", "20", "--record", strRecording});
    ASSERT_TRUE(host.Started());
    ProgramRun scenario(terntest::BuildProgramPath("ternwatch-scenario.exe"), {"--folder", strFolder});
    ASSERT_TRUE(scenario.Wait(60000));
    ASSERT_TRUE(host.Wait(60000));
    ASSERT_EQ(host.ExitCode(), 0u) << host.Err();
    const Lines vecLive = terntest::SplitLines(host.Out());
    ASSERT_GE(vecLive.size(), 9u) << host.Out() << host.Err();

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
        Lines vecExpected;
        for (std::string strLine : vecLive) {
            if (change.fnExpected(strLine)) vecExpected.push_back(strLine);
        }
        EXPECT_EQ(vecExpected != vecLive, &change != kChanges) << "a changed rule changes some report";
        const std::unique_ptr<ProgramRun> pReplay(Replay(strRecording, WriteFile(strRules, change.strRules)));
        ASSERT_TRUE(pReplay->Wait(60000));
        EXPECT_EQ(pReplay->ExitCode(), 0u) << pReplay->Err();
        EXPECT_EQ(terntest::SplitLines(pReplay->Out()), vecExpected) << "live:\n" << host.Out();
    }
    ::DeleteFileA(strRules.c_str());
    ::DeleteFileA(strRecording.c_str());
}

TEST(Replay, MalformedRecordingLineIsRefusedWithItsLineNumber) {
    const std::string strDir = terntest::ThisProgramFolder();
    const std::string strRules = WriteFile(strDir + "\\replay-bad-rules.ini", kRules);
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
        const std::string strFile = WriteFile(strDir + "\\replay-bad.jsonl", strGood + testCase.strLine + "\n");
        const std::unique_ptr<ProgramRun> pReplay(Replay(strFile, strRules));
        ASSERT_TRUE(pReplay->Wait(60000));
        EXPECT_EQ(pReplay->ExitCode(), 2u) << testCase.strError;
        EXPECT_NE(pReplay->Err().find("ternwatch: " + strFile + ":3: "), std::string::npos) << pReplay->Err();
        EXPECT_NE(pReplay->Err().find(testCase.strError), std::string::npos) << pReplay->Err();
        EXPECT_EQ(pReplay->Out(), "") << "nothing is replayed from a malformed recording";
    }
    ::DeleteFileA(strRules.c_str());
    ::DeleteFileA((strDir + "\\replay-bad.jsonl").c_str());
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
