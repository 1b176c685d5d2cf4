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
    const std::string strInstallRoot = strHere.substr(0, strHere.rfind('\\'));
    ASSERT_EQ(::GetFileAttributesA((strHere + "\\regex.dll").c_str()), INVALID_FILE_ATTRIBUTES);

    ClearReportsAndLog();
    // On the search path regex.dll would be found: the matcher must not look there.
    ::SetDllDirectoryA(strSource.c_str());
    FileMonRuleList rules;
    rules.push_back(FileMonRule{"*.txt", "", "Add", "wild"});
    rules.push_back(FileMonRule{"exact.txt", "", "Add", "exact"});
    std::vector<std::string> arrFolders;
    {
        HostSession session;
        ASSERT_TRUE(session.Start(FILEMON_LOCAL, &rules));
        // Any path that contains the installation root is the client's own.
        const std::string strOwn = strInstallRoot + "-data";
        ASSERT_TRUE(::CreateDirectoryA(strOwn.c_str(), nullptr));
        arrFolders.push_back(strOwn);
        const std::string F = MakeFreshFolder(FixedDriveRoot(), "policy-child-plain");
        arrFolders.push_back(F);
        ::Sleep(200);
        PacedWrite(strOwn + "\\exact.txt", "own");
        PacedWrite(F + "\\w.txt", "wildcard, no library");
        PacedWrite(F + "\\exact.txt", "exact");
        ASSERT_TRUE(WaitForReportLines(F, 1));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), Lines{"L Add F\\exact.txt"});
        EXPECT_TRUE(ReportLines(strOwn).empty());

        // A library of that name without the export is of no use, and not kept loaded.
        ASSERT_TRUE(::CopyFileA((strSource + "\\TernFileMon.dll").c_str(), (strHere + "\\regex.dll").c_str(), FALSE));
        PacedWrite(F + "\\w1.txt", "wildcard, library without the export");
        PacedDelete(F + "\\exact.txt");
        PacedWrite(F + "\\exact.txt", "exact again: once reported, w1.txt was decided");
        ASSERT_TRUE(WaitForReportLines(F, 2));
        ASSERT_TRUE(::CopyFileA((strSource + "\\regex.dll").c_str(), (strHere + "\\regex.dll").c_str(), FALSE))
            << "the first regex.dll is still loaded, error " << ::GetLastError();
        PacedWrite(F + "\\w2.txt", "wildcard, library present");
        ASSERT_TRUE(WaitForReportLines(F, 3));
        ::Sleep(600);
        EXPECT_EQ(ReportLines(F), (Lines{"L Add F\\exact.txt", "L Add F\\exact.txt", "L Add F\\w2.txt"}));
    }
    for (const std::string& strFolder : arrFolders) RemoveTree(strFolder);
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
