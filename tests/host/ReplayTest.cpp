// ternwatch replay refuses malformed recordings, and the two replay exports
// are called the way a host calls them (the main job's test replays a live
// recording).
#include <windows.h>

#include <gtest/gtest.h>

#include <utility>

#include "HostSession.h"
#include "ProgramRun.h"
#include "TernFileMonReplay.h"
#include "TestFiles.h"

namespace {

using terntest::ProgramRun;

const std::string kRules = "[usb-any]\nmonitor = usb\npattern = *\nactions = Add\n";

TEST(Replay, MalformedRecordingLineIsRefusedWithItsLineNumber) {
    const std::string strDir = terntest::ThisProgramFolder();
    const std::string strRules = strDir + "\\replay-bad-rules.ini";
    ASSERT_TRUE(terntest::WriteTextFile(strRules, kRules));
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
        const std::string strFile = strDir + "\\replay-bad.jsonl";
        ASSERT_TRUE(terntest::WriteTextFile(strFile, strGood + testCase.strLine + "\n"));
        ProgramRun replay(terntest::BuildProgramPath("ternwatch.exe"), {"replay", strFile, "--rules", strRules, "--json"});
        ASSERT_TRUE(replay.Wait(60000));
        EXPECT_EQ(replay.ExitCode(), 2u) << testCase.strError;
        EXPECT_NE(replay.Err().find("ternwatch: " + strFile + ":3: "), std::string::npos) << replay.Err();
        EXPECT_NE(replay.Err().find(testCase.strError), std::string::npos) << replay.Err();
        EXPECT_EQ(replay.Out(), "") << "nothing is replayed from a malformed recording";
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
