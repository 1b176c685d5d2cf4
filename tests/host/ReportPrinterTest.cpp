// What ternwatch prints besides the reports: marked log, loss and trace lines,
// the summary with the losses, and the health counters of a damaged record.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "HealthStats.h"
#include "ReportPrinter.h"

namespace {

size_t CountOf(const std::string& strText, const std::string& strPart) {
    size_t nCount = 0;
    for (size_t n = strText.find(strPart); n != std::string::npos; n = strText.find(strPart, n + 1)) {
        ++nCount;
    }
    return nCount;
}

std::vector<std::string> ReadLines(std::FILE* pFile) {
    std::rewind(pFile);
    std::vector<std::string> vecLines;
    char szLine[1024];
    while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        std::string strLine = szLine;
        if (!strLine.empty() && strLine.back() == '\n') strLine.pop_back();
        vecLines.push_back(strLine);
    }
    return vecLines;
}

TEST(ReportPrinter, ReadableSummaryWithLossesGoesToStandardOutputAndOddInputIsSafe) {
    TernHealthCounters counters = {};
    EXPECT_EQ(tern::LossSummary(counters), "lost 0");
    counters.nLost[TERN_LOSS_OVERFLOW] = 3;
    counters.nLost[TERN_LOSS_POST_FAILED] = 1;
    counters.nLost[TERN_LOSS_WATCH_ENDED] = 2;
    std::FILE* pOut = std::tmpfile();
    std::FILE* pErr = std::tmpfile();
    ASSERT_NE(pOut, nullptr);
    ASSERT_NE(pErr, nullptr);
    {
        tern::ReportPrinter printer(false, pOut, pErr);
        FileMonEvent odd;  // an action the component never sends still gets counted
        odd.strAction = "Paste";
        printer.PrintReport(odd, nullptr);
        const char kLoss[] = "Lost changes: overflow x3 on D:\\\r\n";
        printer.PrintLog(kLoss, std::strlen(kLoss));
        printer.PrintLog(nullptr, 5);
        printer.PrintTrace(nullptr);
        printer.PrintSummary(tern::LossSummary(counters));
    }
    const std::vector<std::string> vecOut = ReadLines(pOut);
    ASSERT_EQ(vecOut.size(), 2u);
    EXPECT_EQ(vecOut[1], "1 reports: Add 0, Copy 0, Delete 0, Modify 0, Paste 1, Rename 0; "
                         "lost 6: overflow 3, post-failed 1, watch-ended 2");
    EXPECT_EQ(ReadLines(pErr),
              (std::vector<std::string>{"[LOSS] Lost changes: overflow x3 on D:\\", "[log] ", "[trace] "}));
    std::fclose(pOut);
    std::fclose(pErr);
}

// A record that claims more roots than it holds and texts without their NUL
// is printed within its bounds.
TEST(HealthStats, DamagedRecordIsPrintedWithinItsBounds) {
    auto pRecord = std::make_unique<TernHealthRecord>();
    std::memset(pRecord.get(), 'A', sizeof(TernHealthRecord));
    pRecord->cbSize = sizeof(TernHealthRecord);
    pRecord->nRootCount = 100000;
    for (TernHealthRoot& root : pRecord->aRoots) root.counters.nReadsCompleted = 1;

    const std::string strJson = tern::FormatStatsJson(*pRecord);
    EXPECT_EQ(CountOf(strJson, "\"root\":"), static_cast<size_t>(TERN_HEALTH_MAX_ROOTS));
    EXPECT_EQ(CountOf(strJson, std::string(TERN_HEALTH_TEXT_BYTES, 'A')),
              static_cast<size_t>(TERN_HEALTH_MAX_ROOTS) + 1);  // the roots and the busiest path
    EXPECT_EQ(strJson.front(), '{');
    EXPECT_EQ(strJson.back(), '}');

    const std::vector<std::string> vecLines = tern::FormatStatsReadable(*pRecord);
    ASSERT_EQ(vecLines.size(), static_cast<size_t>(TERN_HEALTH_MAX_ROOTS) + 1);
    EXPECT_EQ(vecLines[1].rfind("stats " + std::string(TERN_HEALTH_TEXT_BYTES, 'A') + ": reads 1 ", 0),
              0u);
}

}  // namespace
