// regex.dll is looked for beside the host executable only, and looked for
// again while it is missing. A copy of this program runs from a folder of
// its own on the fixed test drive, where the library appears during the test.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../../TernFileMon/filemon/FileMonitor.h"
#include "../../TernFileMon/filemon/RecordedRoots.h"
#include "ChildProcess.h"
#include "TestDrives.h"

using tern::CFileMonitor;

namespace {

constexpr char kChildSwitch[] = "TERN_REGEX_SOURCE_FOLDER";

// The folder of the real regex.dll when this process is the child, else empty.
std::string RegexSourceFolder() {
    const char* pszFolder = std::getenv(kChildSwitch);
    return pszFolder != nullptr ? pszFolder : "";
}

bool WildcardAccepts(CFileMonitor& monitor) {
    FileMonRuleList rules;
    rules.push_back(FileMonRule{"*.doc", "", "Add", "wild"});
    FileMonEvent event;
    event.strPath = "D:\\r.doc";
    event.strAction = "Add";
    return monitor.MatchEvent(&rules, &event) && event.strRuleTag == "wild";
}

}  // namespace

// Runs in the child only.
TEST(RegexChild, MissingLibraryIsLookedForAgainUntilItAppears) {
    const std::string strSource = RegexSourceFolder();
    if (strSource.empty()) GTEST_SKIP() << "runs in a copy of this program only";
    const std::string strHere = terntest::ThisProgramFolder();
    ASSERT_NE(strHere, strSource);
    ASSERT_EQ(::GetFileAttributesA((strHere + "\\regex.dll").c_str()), INVALID_FILE_ATTRIBUTES);
    // On the search path it would be found: the matcher must not look there.
    ::SetDllDirectoryA(strSource.c_str());

    tern::g_arrRecordedRoots.RemoveAll();
    tern::g_arrRecordedRoots.Append("D:\\");
    CFileMonitor monitor(nullptr);
    EXPECT_FALSE(WildcardAccepts(monitor));
    EXPECT_EQ(monitor.LoadMatchPattern(), nullptr);
    EXPECT_EQ(monitor.m_pfnMatchPattern.load(), nullptr);

    // Exact rules do not need the library.
    FileMonRuleList exact;
    exact.push_back(FileMonRule{"r.doc", "", "Add", "exact"});
    FileMonEvent event;
    event.strPath = "D:\\r.doc";
    event.strAction = "Add";
    EXPECT_TRUE(monitor.MatchEvent(&exact, &event));

    // A library of that name without the export is of no use, and not kept.
    ASSERT_TRUE(::CopyFileA((strSource + "\\TernFileMon.dll").c_str(),
                            (strHere + "\\regex.dll").c_str(), FALSE));
    EXPECT_FALSE(WildcardAccepts(monitor));
    EXPECT_FALSE(monitor.m_hRegexModule.IsValid());

    // The real one, once there, is picked up by the next wildcard test.
    ASSERT_TRUE(::CopyFileA((strSource + "\\regex.dll").c_str(),
                            (strHere + "\\regex.dll").c_str(), FALSE))
        << "error " << ::GetLastError();
    EXPECT_TRUE(WildcardAccepts(monitor));
    EXPECT_NE(monitor.m_pfnMatchPattern.load(), nullptr);
    EXPECT_TRUE(monitor.m_hRegexModule.IsValid());
    tern::g_arrRecordedRoots.RemoveAll();
}

TEST(RegexPlacement, LibraryBesideTheHostOnlyAndPickedUpOnceItArrives) {
    const std::string strFolder =
        terntest::MakeFreshFolder(terntest::FixedDriveRoot(), "regex-placement");
    const terntest::ChildResult result = terntest::RunCopyOfThisProgram(
        strFolder, "RegexChild.*", kChildSwitch, terntest::ThisProgramFolder(), 60000);
    EXPECT_TRUE(terntest::AllPassed(result, 1)) << result.strOutput;
    terntest::RemoveTree(strFolder);
}
