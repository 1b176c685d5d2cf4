// The printer is called from several component threads at once: every line
// must come out whole, and the counts must add up; loss lines are marked and
// the summary carries the losses.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "HealthStats.h"
#include "ReportPrinter.h"

namespace {

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

TEST(ReportPrinter, LinesFromManyThreadsStayWholeAndAreCounted) {
    std::FILE* pOut = std::tmpfile();
    std::FILE* pErr = std::tmpfile();
    ASSERT_NE(pOut, nullptr);
    ASSERT_NE(pErr, nullptr);
    {
        tern::ReportPrinter printer(true, pOut, pErr);
        const char* const apszActions[] = {"Add", "Copy", "Delete", "Modify"};
        std::vector<std::thread> vecThreads;
        for (int t = 0; t < 4; ++t) {
            vecThreads.emplace_back([&printer, &apszActions, t] {
                FileMonEvent event;
                event.strAction = apszActions[t];
                event.strPath = std::string(200, static_cast<char>('a' + t));
                for (int i = 0; i < 250; ++i) printer.PrintReport(event, "local");
            });
        }
        for (std::thread& thread : vecThreads) thread.join();
        printer.PrintTrace("2026-12-05 [TernFileMon] x [line]:1 [source]:DirectoryChanges\r\n");
        printer.PrintStatus("stopping");
        printer.PrintSummary();
    }
    const std::vector<std::string> vecOut = ReadLines(pOut);
    ASSERT_EQ(vecOut.size(), 1000u) << "JSON Lines mode keeps standard output to reports";
    for (const std::string& strLine : vecOut) {
        ASSERT_EQ(strLine.front(), '{');
        ASSERT_EQ(strLine.back(), '}');
        const char chPath = strLine[9];
        ASSERT_NE(strLine.find("\"path\":\"" + std::string(200, chPath) + "\""), std::string::npos);
    }
    const std::vector<std::string> vecErr = ReadLines(pErr);
    EXPECT_EQ(vecErr, (std::vector<std::string>{
                          "[trace] 2026-12-05 [TernFileMon] x [line]:1 [source]:DirectoryChanges",
                          "ternwatch: stopping",
                          "ternwatch: 1000 reports: Add 250, Copy 250, Delete 250, Modify 250, Rename 0"}));
    std::fclose(pOut);
    std::fclose(pErr);
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

}  // namespace
