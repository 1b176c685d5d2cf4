// ternwatch's side of the health counters: the texts it prints from a record
// (also a damaged one), and the marking of loss lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
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

TEST(HealthStats, LossSummaryAndLossLines) {
    TernHealthCounters counters = {};
    EXPECT_EQ(tern::LossSummary(counters), "lost 0");
    counters.nLost[TERN_LOSS_OVERFLOW] = 3;
    counters.nLost[TERN_LOSS_POST_FAILED] = 1;
    counters.nLost[TERN_LOSS_WATCH_ENDED] = 2;
    EXPECT_EQ(tern::LossSummary(counters), "lost 6: overflow 3, post-failed 1, watch-ended 2");

    std::FILE* pOut = std::tmpfile();
    std::FILE* pErr = std::tmpfile();
    ASSERT_NE(pOut, nullptr);
    ASSERT_NE(pErr, nullptr);
    {
        tern::ReportPrinter printer(false, pOut, pErr);
        const char kLoss[] = "Lost changes: overflow x3 on D:\\";
        printer.PrintLog(kLoss, std::strlen(kLoss));
        printer.PrintLog("Enter Stop END", 14);
        printer.PrintSummary(tern::LossSummary(counters));
    }
    std::string strErr(4096, '\0'), strOut(4096, '\0');
    std::rewind(pErr);
    strErr.resize(std::fread(&strErr[0], 1, strErr.size(), pErr));
    std::rewind(pOut);
    strOut.resize(std::fread(&strOut[0], 1, strOut.size(), pOut));
    EXPECT_EQ(strErr, "[LOSS] Lost changes: overflow x3 on D:\\\n[log] Enter Stop END\n");
    EXPECT_EQ(strOut, "0 reports: Add 0, Copy 0, Delete 0, Modify 0, Rename 0; "
                      "lost 6: overflow 3, post-failed 1, watch-ended 2\n");
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
