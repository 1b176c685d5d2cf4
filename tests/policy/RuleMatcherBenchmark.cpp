// What matching one report against the host's rules costs the notification
// thread. Prints figures; the checks are only that the answers stay right.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Stopwatch.h"
#include "../../TernFileMon/filemon/FileMonitor.h"
#include "../../TernFileMon/filemon/RecordedRoots.h"

namespace {

// Rules that never accept the event, then one that does at the front (the
// last one the report walk reaches).
FileMonRuleList MakeRules(int nRules, bool bWildcard) {
    FileMonRuleList rules;
    rules.push_back(FileMonRule{bWildcard ? "*.doc" : "report.doc", "", "Modify", "hit"});
    for (int i = 1; i < nRules; ++i) {
        const std::string strName = "other" + std::to_string(i);
        rules.push_back(FileMonRule{bWildcard ? strName + "*.txt" : strName + ".txt", "",
                                    "Add|Modify", "miss"});
    }
    return rules;
}

double MicrosecondsPerMatch(tern::CFileMonitor& monitor, FileMonRuleList& rules, int nCalls) {
    return terntest::MicrosecondsPerCall(nCalls, [&] {
        FileMonEvent event;
        event.strPath = "D:\\work\\projects\\Report.doc";
        event.strAction = "Modify";
        EXPECT_TRUE(monitor.MatchModifyEvent(&event, &rules, false, 1));
        EXPECT_EQ(event.strRuleTag, "hit");
    });
}

}  // namespace

TEST(RuleMatcherBenchmark, CostPerReportByRuleCount) {
    tern::g_arrRecordedRoots.RemoveAll();
    tern::g_arrRecordedRoots.Append("E:\\");
    tern::CFileMonitor monitor(nullptr);
    for (bool bWildcard : {false, true}) {
        for (int nRules : {1, 10, 100, 1000}) {
            FileMonRuleList rules = MakeRules(nRules, bWildcard);
            monitor.m_pLocalRuleList = &rules;
            const int nCalls = nRules >= 1000 ? 200 : 2000;
            const double dMicroseconds = MicrosecondsPerMatch(monitor, rules, nCalls);
            std::printf("[ BENCH    ] rule match, %4d %-8s rules, whole list walked %9.2f us\n",
                        nRules, bWildcard ? "wildcard" : "exact", dMicroseconds);
            monitor.m_pLocalRuleList = nullptr;
        }
    }
    tern::g_arrRecordedRoots.RemoveAll();
}
