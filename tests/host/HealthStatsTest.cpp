// ternwatch's side of the health counters: the texts it prints from a damaged
// record (the loss summary and loss lines are in the printer's test).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HealthStats.h"

namespace {

size_t CountOf(const std::string& strText, const std::string& strPart) {
    size_t nCount = 0;
    for (size_t n = strText.find(strPart); n != std::string::npos; n = strText.find(strPart, n + 1)) {
        ++nCount;
    }
    return nCount;
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
