// The loss reporter's rate limit, on an injected clock: one line per root and
// kind per second, and no count lost while a line is held back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../../TernFileMon/DirectoryChanges/LossReporter.h"

namespace {

using tern::CLossReporter;
using tern::ELossKind;

std::uint64_t g_nNowMs = 0;
std::uint64_t FakeClock() { return g_nNowMs; }

void CollectLine(const char* pszLine, void* pContext) {
    static_cast<std::vector<std::string>*>(pContext)->push_back(pszLine);
}

struct Step {
    std::uint64_t nAtMs;
    const char* pszRoot;  // null: FlushRoot("D:\\"); "poll:X": Poll(X)
    ELossKind eKind;
    std::uint64_t nCount;
    std::vector<std::string> vecLines;  // lines this step writes
};

TEST(LossReporter, OneLinePerRootAndKindPerSecondWithoutLosingCounts) {
    const Step kSteps[] = {
        {0, "D:\\", ELossKind::Overflow, 1, {"Lost changes: overflow x1 on D:\\"}},
        {10, "D:\\", ELossKind::Overflow, 1, {}},
        {500, "D:\\", ELossKind::Overflow, 3, {}},
        // Another kind and another root have seconds of their own.
        {600, "D:\\", ELossKind::RenameHalf, 1, {"Lost changes: rename-half x1 on D:\\"}},
        {700, "E:\\", ELossKind::Overflow, 2, {"Lost changes: overflow x2 on E:\\"}},
        // Roots compare without regard to case.
        {800, "d:\\", ELossKind::Overflow, 1, {}},
        {999, "poll:D:\\", ELossKind::Overflow, 0, {}},
        // The held-back counts ride on the next line of their kind.
        {1000, "D:\\", ELossKind::Overflow, 2, {"Lost changes: overflow x7 on D:\\"}},
        {1500, "D:\\", ELossKind::Overflow, 4, {}},
        // ...or come out at a later poll once their second has passed.
        {2000, "poll:D:\\", ELossKind::Overflow, 0, {"Lost changes: overflow x4 on D:\\"}},
        {2100, "D:\\", ELossKind::PostFailed, 5, {"Lost changes: post-failed x5 on D:\\"}},
        {2200, "D:\\", ELossKind::PostFailed, 1, {}},
        {2300, "D:\\", ELossKind::WatchEnded, 1, {"Lost changes: watch-ended x1 on D:\\"}},
        // The end of the watch writes what is held back, whatever the second.
        {2400, nullptr, ELossKind::Overflow, 0, {"Lost changes: post-failed x1 on D:\\"}},
        // A new watch of the root starts afresh.
        {2500, "D:\\", ELossKind::PostFailed, 1, {"Lost changes: post-failed x1 on D:\\"}},
        {2600, "D:\\", ELossKind::ReadFailed, 0, {}},
    };
    CLossReporter reporter(&FakeClock);
    std::vector<std::string> vecLines;
    reporter.SetLogSink(&CollectLine, &vecLines);
    for (const Step& step : kSteps) {
        g_nNowMs = step.nAtMs;
        vecLines.clear();
        const std::string strRoot = step.pszRoot != nullptr ? step.pszRoot : "";
        if (step.pszRoot == nullptr) {
            reporter.FlushRoot("D:\\");
        } else if (strRoot.rfind("poll:", 0) == 0) {
            reporter.Poll(strRoot.substr(5));
        } else {
            reporter.NoteLoss(strRoot, step.eKind, step.nCount);
        }
        EXPECT_EQ(vecLines, step.vecLines) << "step at " << step.nAtMs << " ms";
    }

    // Only the context that set the sink clears it.
    int nOther = 0;
    reporter.ClearLogSink(&nOther);
    reporter.NoteLoss("F:\\", ELossKind::ReadAborted, 1);
    EXPECT_EQ(vecLines, std::vector<std::string>{"Lost changes: read-aborted x1 on F:\\"});
    reporter.ClearLogSink(&vecLines);
    vecLines.clear();
    reporter.NoteLoss("G:\\", ELossKind::Overflow, 1);
    EXPECT_TRUE(vecLines.empty());
}

}  // namespace
