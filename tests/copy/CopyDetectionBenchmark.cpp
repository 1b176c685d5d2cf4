// What one added file costs the notification thread in copy detection. Prints
// figures; the checks are only that the answers stay right.
#include <gtest/gtest.h>

#include <cstdio>

#include "CopyDetectionSupport.h"
#include "Stopwatch.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/copy/CopySource.h"

using terntest::ClipboardWriter;
using terntest::CopyIniFiles;
using terntest::SectionWriter;

namespace {

// Microseconds per call of FindCopySource over nCalls calls.
double MicrosecondsPerLookup(const std::string& strNewPath, std::string& strTemp,
                             const std::string& strExpected, int nCalls) {
    return terntest::MicrosecondsPerCall(nCalls, [&] {
        EXPECT_EQ(tern::FindCopySource(strNewPath, strTemp), strExpected);
    });
}

void Report(const char* pszCase, double dMicroseconds) {
    std::printf("[ BENCH    ] copy lookup, %-52s %9.1f us\n", pszCase, dMicroseconds);
}

}  // namespace

TEST(CopyDetectionBenchmark, LookupCostPerAddedFile) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter section;
    ASSERT_TRUE(section.IsOpen());
    ClipboardWriter clipboard;
    clipboard.Empty();
    CopyIniFiles ini;
    ASSERT_TRUE(ini.WriteMain("[KeyNameOfCopyFile]\r\nCopyKeyValue=_copy||- Copy\r\n"));
    const std::string strNoTemp = "Q:\\no-temp-here";
    std::string strTemp = strNoTemp;

    section.WriteText("C:\\docs\\report.doc");
    Report("section with one path, a hit:",
           MicrosecondsPerLookup("D:\\report.doc", strTemp, "C:\\docs\\report.doc", 200));

    // A full list: 4096 paths of about 250 bytes, none of them the source.
    std::string strList;
    for (int i = 0; i < 4095; ++i) {
        strList += "C:\\" + std::string(230, 'd') + "\\file" + std::to_string(i) + ".txt|";
    }
    ASSERT_LT(strList.size(), static_cast<size_t>(tern::kClipBufferSize));
    section.WriteText(strList);
    Report("section with 4095 long paths, a miss:",
           MicrosecondsPerLookup("D:\\report.doc", strTemp, "", 20));

    // The same folder as every entry, the name containing each base: every
    // entry reads the INI files.
    section.WriteText("C:\\a\\r.txt|C:\\a\\re.txt|C:\\a\\rep.txt|C:\\a\\repo.txt|C:\\a\\x.txt");
    Report("4 same-folder candidates with INI reads, then a hit:",
           MicrosecondsPerLookup("C:\\a\\x_copy.txt", strTemp, "C:\\a\\x.txt", 50));

    section.Fill('x');
    Report("section full, no terminator:", MicrosecondsPerLookup("D:\\report.doc", strTemp, "", 20));

    section.Clear();
    std::vector<std::string> vecDropped;
    for (int i = 0; i < 100; ++i) vecDropped.push_back("C:\\clip\\file" + std::to_string(i) + ".doc");
    ASSERT_TRUE(clipboard.PutFileDrop(vecDropped));
    Report("section empty, clipboard with 100 files, last one:",
           MicrosecondsPerLookup("E:\\file99.doc", strTemp, "C:\\clip\\file99.doc", 50));
    EXPECT_EQ(strTemp, strNoTemp);

    // No "ZUVOVE.exe": the user's temporary directory is looked for again at
    // most once per retry bound.
    strTemp.clear();
    Report("no user token, temp directory retried after a bound:",
           MicrosecondsPerLookup("E:\\file1.doc", strTemp, "C:\\clip\\file1.doc", 50));
    EXPECT_EQ(strTemp, "");
}
