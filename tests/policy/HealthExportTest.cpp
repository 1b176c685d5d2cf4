// GetHealthCounters, the fourth export, called the way a host calls it: it
// refuses bad records, and its counters match what the host saw of a burst
// that overflowed the component's reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HostSession.h"
#include "TernFileMonHealth.h"
#include "TestDrives.h"
#include "UnixShell.h"

using namespace terntest;

namespace {

class HealthExport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_dll.Module(), nullptr);
        m_pfnGet = TernGetExport<PFN_GetHealthCounters>(m_dll.Module(), "GetHealthCounters");
        ASSERT_NE(m_pfnGet, nullptr);
    }
    std::unique_ptr<TernHealthRecord> Read() {
        auto pRecord = std::make_unique<TernHealthRecord>();
        pRecord->cbSize = sizeof(TernHealthRecord);
        EXPECT_EQ(m_pfnGet(pRecord.get()), TERN_HEALTH_OK);
        return pRecord;
    }
    HostSession m_dll{false};  // the library only: sessions of the tests come and go beside it
    PFN_GetHealthCounters m_pfnGet = nullptr;
};

const TernHealthCounters* FindRoot(const TernHealthRecord& record, const char* pszRoot) {
    for (unsigned i = 0; i < record.nRootCount; ++i) {
        if (_stricmp(record.aRoots[i].szRoot, pszRoot) == 0) return &record.aRoots[i].counters;
    }
    return nullptr;
}

TEST_F(HealthExport, RefusesNullAndShortRecordsAndFillsWholeOnes) {
    EXPECT_EQ(m_pfnGet(nullptr), TERN_HEALTH_NULL_RECORD);

    const DWORD kFull = sizeof(TernHealthRecord);
    const struct {
        DWORD cbSize;
        int nResult;
    } kCases[] = {{0, TERN_HEALTH_SHORT_RECORD},
                  {kFull - 1, TERN_HEALTH_SHORT_RECORD},
                  {kFull, TERN_HEALTH_OK},
                  {kFull + 256, TERN_HEALTH_OK}};  // a later, larger record
    for (const auto& test : kCases) {
        std::vector<unsigned char> buffer(kFull + 256, 0x5A);
        std::memcpy(buffer.data(), &test.cbSize, sizeof(test.cbSize));
        const std::vector<unsigned char> before = buffer;
        const int nResult = m_pfnGet(reinterpret_cast<TernHealthRecord*>(buffer.data()));
        EXPECT_EQ(nResult, test.nResult) << "cbSize " << test.cbSize;
        if (nResult != TERN_HEALTH_OK) {
            EXPECT_EQ(buffer, before) << "a refused record was written, cbSize " << test.cbSize;
            continue;
        }
        const auto* pRecord = reinterpret_cast<const TernHealthRecord*>(buffer.data());
        EXPECT_EQ(pRecord->cbSize, test.cbSize);
        EXPECT_EQ(pRecord->nVersion, TERN_HEALTH_VERSION);
        EXPECT_LE(pRecord->nRootCount, TERN_HEALTH_MAX_ROOTS);
        // Past the fields this version knows, the caller's bytes stay as they were.
        EXPECT_TRUE(std::equal(buffer.begin() + kFull, buffer.end(), before.begin() + kFull));
    }
}

TEST_F(HealthExport, BurstThatOverflowsShowsInTheHostLogAndTheCounters) {
    const std::string strRoot = FixedDriveRoot();
    const auto pBefore = Read();
    const TernHealthCounters* pRootBefore = FindRoot(*pBefore, strRoot.c_str());
    const TernHealthCounters rootBefore = pRootBefore != nullptr ? *pRootBefore : TernHealthCounters{};

    // The burst removes files from the drive's top folder, which Wine watches
    // whatever existed before: only removals reach the rules, quickly, and
    // are rejected there, all but one *.keep file's addition. The shell runs
    // in a folder of its own (its marker lands in the top folder).
    const std::string strShellFolder = MakeFreshFolder(strRoot, "health-shell");
    const std::string strPrefix = "health-" + std::to_string(::GetCurrentProcessId());
    const int kTries = 3;
    ASSERT_TRUE(RunUnixShellIn(strShellFolder,
                               "(cd .. && for n in 0 1 2; do seq -f " + strPrefix +
                                   "-b$n-%g 2000 | xargs touch; done)",
                               30000));
    ClearReportsAndLog();
    FileMonRuleList rules = {RuleForAll("*.keep", "keep")};
    HostSession session;
    ASSERT_TRUE(session.IsOpen());
    ASSERT_TRUE(session.Start(FILEMON_LOCAL, &rules));
    ASSERT_TRUE(RunUnixShellIn(strShellFolder, "(cd .. && touch " + strPrefix + ".keep)", 10000));
    for (int nTry = 0; nTry < kTries; ++nTry) {
        const auto pNow = Read();
        const TernHealthCounters* pRoot = FindRoot(*pNow, strRoot.c_str());
        if (pRoot != nullptr && pRoot->nEmptyCompletions > rootBefore.nEmptyCompletions) break;
        ASSERT_TRUE(RunUnixShellIn(
            strShellFolder, "(cd .. && rm -f " + strPrefix + "-b" + std::to_string(nTry) + "-*)",
            20000));
        ::Sleep(500);
    }
    // Delivering thousands of reports takes a while; the counters add up once
    // the queue is empty (a stop would otherwise give up waiting for it).
    for (int i = 0; i < 600; ++i) {
        const auto pNow = Read();
        const TernHealthCounters* pRoot = FindRoot(*pNow, strRoot.c_str());
        if (pRoot == nullptr || pRoot->nQueueDepth == 0) break;
        ::Sleep(100);
    }
    ASSERT_TRUE(session.Monitor()->StopMonitoring(FILEMON_LOCAL));
    const std::vector<std::string> vecLog = LogLines();
    const auto pAfter = Read();
    const TernHealthCounters* pRoot = FindRoot(*pAfter, strRoot.c_str());
    ASSERT_NE(pRoot, nullptr);
    const TernHealthCounters& root = *pRoot;

    const unsigned long long nOverflows =
        root.nLost[TERN_LOSS_OVERFLOW] - rootBefore.nLost[TERN_LOSS_OVERFLOW];
    ASSERT_GT(root.nEmptyCompletions - rootBefore.nEmptyCompletions, 0u) << "no burst overflowed";
    EXPECT_EQ(nOverflows, root.nEmptyCompletions - rootBefore.nEmptyCompletions);
    EXPECT_EQ(LossLineSum(vecLog, "overflow", strRoot), nOverflows);

    // Reports: what the callbacks got is what the counters call delivered,
    // and every offered report was either delivered or rejected.
    const unsigned long long nLocal = root.nReportsDeliveredLocal - rootBefore.nReportsDeliveredLocal;
    const unsigned long long nOffered = root.nReportsOffered - rootBefore.nReportsOffered;
    const unsigned long long nRejected = root.nReportsRejected - rootBefore.nReportsRejected;
    size_t nCallbacks = 0;
    for (const HostReport& report : Reports()) {
        if (report.event.strPath.rfind(strRoot, 0) == 0) ++nCallbacks;
    }
    EXPECT_EQ(nLocal, nCallbacks);
    EXPECT_EQ(root.nReportsDeliveredUsb, rootBefore.nReportsDeliveredUsb);
    EXPECT_EQ(nOffered, nLocal + nRejected);
    EXPECT_GT(nRejected, 0u);
    // The watch of the root has ended: its queue is empty.
    EXPECT_EQ(root.nNotificationsPosted, root.nNotificationsDispatched + root.nNotificationsDiscarded);
    const TernHealthCounters& total = pAfter->total;
    EXPECT_EQ(total.nReportsOffered,
              total.nReportsDeliveredLocal + total.nReportsDeliveredUsb + total.nReportsRejected);
    EXPECT_GE(total.nLost[TERN_LOSS_OVERFLOW], root.nLost[TERN_LOSS_OVERFLOW]);
    EXPECT_GT(total.nBusiestCostMicroseconds, 0u);

    RunUnixShellIn(strShellFolder, "(cd .. && rm -f " + strPrefix + "*)", 10000);
    RemoveTree(strShellFolder);
}

}  // namespace
