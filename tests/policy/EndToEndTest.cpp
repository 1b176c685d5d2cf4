// Where the host lies decides where regex.dll is looked for: a host in a folder
// of its own, with real file operations reported through CreateObject and
// ITernFileMon.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "HostSession.h"
#include "ProgramRun.h"
#include "TestDrives.h"

using namespace terntest;

namespace {

using Lines = std::vector<std::string>;

constexpr char kChildSwitch[] = "TERN_POLICY_E2E_SOURCE_FOLDER";

std::string SourceFolderForChild() {
    const char* pszFolder = std::getenv(kChildSwitch);
    return pszFolder != nullptr ? pszFolder : "";
}

}  // namespace

// Runs in a copy of this program at D:\<folder>\bin, without regex.dll beside it: the
// library is looked for beside the host only, and again while it is missing.
TEST(EndToEndChild, InstallRootIgnoredAndRegexPickedUpOnceItArrives) {
    const std::string strSource = SourceFolderForChild();
    if (strSource.empty()) GTEST_SKIP() << "runs in a copy of this program only";
    const std::string strHere = ThisProgramFolder();
    ASSERT_EQ(::GetFileAttributesA((strHere + "\\regex.dll").c_str()), INVALID_FILE_ATTRIBUTES);

    ClearReportsAndLog();
    // On the search path regex.dll would be found: the matcher must not look there.
    ::SetDllDirectoryA(strSource.c_str());
    FileMonRuleList rules = {FileMonRule{"*.txt", "", "Add", "wild"}, FileMonRule{"exact.txt", "", "Add", "exact"}};
    // Any path that contains the installation root (in any case) is the client's own.
    const std::string strOwn = strHere.substr(0, strHere.rfind('\\')) + "-data";
    std::string F;
    {
        HostSession session;
        ASSERT_TRUE(session.Start(FILEMON_LOCAL, &rules));
        // Folders made after watching began (the watch follows only those).
        F = MakeFreshFolder(FixedDriveRoot(), "policy-child-plain");
        ASSERT_TRUE(::CreateDirectoryA(strOwn.c_str(), nullptr));
        ::Sleep(200);
        PacedWrite(strOwn + "\\exact.txt", "own");
        PacedWrite(F + "\\w.txt", "wildcard, no library");
        PacedWrite(F + "\\exact.txt", "exact: once reported, w.txt was decided");
        ASSERT_TRUE(WaitForReportLines(F, 1));
        ASSERT_TRUE(::CopyFileA((strSource + "\\regex.dll").c_str(), (strHere + "\\regex.dll").c_str(), FALSE));
        PacedWrite(F + "\\w2.txt", "wildcard, library present");
        ASSERT_TRUE(WaitForReportLines(F, 2));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), (Lines{"L Add F\\exact.txt", "L Add F\\w2.txt"}));
        EXPECT_TRUE(ReportLines(strOwn).empty());
    }
    RemoveTree(F);
    RemoveTree(strOwn);
}

TEST(EndToEndPlacement, HostInAFolderOfItsOwnWithoutRegexLibrary) {
    const std::string strRoot = MakeFreshFolder(FixedDriveRoot(), "policy-host");
    const std::string strBin = strRoot + "\\bin";
    ASSERT_TRUE(::CreateDirectoryA(strBin.c_str(), nullptr));
    ASSERT_TRUE(CopyBeside(ThisProgramFolder() + "\\TernFileMon.dll", strBin));
    std::string strOutput;
    EXPECT_TRUE(RunTestsInCopy(strBin, "EndToEndChild.*", kChildSwitch, ThisProgramFolder(), 1, strOutput))
        << strOutput;
    RemoveTree(strRoot);
}
