// ternwatch.exe run as a user runs it: its exit codes, what goes to which
// stream, and the registry switch of --trace.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "ProgramRun.h"
#include "DebugOutputCapture.h"
#include "TestDrives.h"

namespace {

using terntest::ProgramRun;
using terntest::SplitLines;

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
    const std::vector<std::string> vecOut = SplitLines(run.Out());
    ASSERT_FALSE(vecOut.empty());
    EXPECT_EQ(vecOut.back().find(" reports: Add "), vecOut.back().find(' '))
        << "the last line counts the reports per action: " << vecOut.back();

    // A switch that was there before stays there.
    ASSERT_TRUE(terntest::SetAutoTestValue());
    ProgramRun again(m_strTernwatch, {"--rules", strRules, "--duration", "1", "--trace"});
    ASSERT_TRUE(again.Wait(60000));
    EXPECT_EQ(again.ExitCode(), 0u);
    EXPECT_TRUE(AutoTestValueExists());
    terntest::DeleteAutoTestValue();
}

}  // namespace
