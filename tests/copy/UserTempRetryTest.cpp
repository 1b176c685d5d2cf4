// While a component object uses the user-temp lookup, a retry after a failed
// lookup runs on the lookup's own thread: the caller returns without the
// folder, a later call takes the answer, and the last use ends the thread.
#include <gtest/gtest.h>

#include "CopyDetectionSupport.h"
#include "ProcessCounts.h"
#include "../../TernFileMon/copy/UserTempLookup.h"

TEST(UserTempRetry, RetryRunsOnItsOwnThreadAndEndsWithTheLastUse) {
    const unsigned long nThreadsBefore = terntest::LeastOf(terntest::Threads, 10);
    const ULONGLONG nFailedAt = 7000000;
    const ULONGLONG nDue = nFailedAt + tern::kUserTempRetryMs;
    tern::CUserTempLookup lookup;
    lookup.BeginUse();
    std::string strTemp;
    lookup.Fill(strTemp, nFailedAt);  // the first lookup, here: no token process yet
    EXPECT_EQ(strTemp, "");
    // A second user whose retry is wanted or running when its use ends: the
    // end waits for its thread (below).
    tern::CUserTempLookup ending;
    ending.BeginUse();
    std::string strNone;
    ending.Fill(strNone, nFailedAt);
    ending.Fill(strNone, nDue);
    EXPECT_EQ(ending.LookupsBegun(), 2u);

    terntest::TokenProcess zuvove;
    ASSERT_TRUE(zuvove.IsRunning());
    std::string strExpected;
    for (int nTry = 0; nTry < 100 && strExpected.empty(); ++nTry) {  // the process may take a moment
        strExpected = tern::GetUserTempPath();
        if (strExpected.empty()) ::Sleep(20);
    }
    ASSERT_NE(strExpected, "");

    lookup.Fill(strTemp, nDue - 1);
    EXPECT_EQ(lookup.LookupsBegun(), 1u) << "retried within the bound";
    lookup.Fill(strTemp, nDue);
    EXPECT_EQ(lookup.LookupsBegun(), 2u) << "not retried at the bound";
    EXPECT_EQ(strTemp, "") << "the retry ran on the caller's thread";
    for (int nTry = 0; nTry < 1000 && strTemp.empty(); ++nTry) {  // bounded: 10 s and more
        ::Sleep(10);
        lookup.Fill(strTemp, nDue);
    }
    EXPECT_EQ(strTemp, strExpected);
    EXPECT_EQ(lookup.LookupsBegun(), 2u) << "looked up again while the retry ran";

    EXPECT_TRUE(ending.EndUse());
    EXPECT_TRUE(lookup.EndUse());
    EXPECT_EQ(terntest::LeastOf(terntest::Threads, 10), nThreadsBefore);

    // Without a user the failure was forgotten: the next lookup runs at once, here.
    std::string strAfter;
    lookup.Fill(strAfter, nFailedAt + 1);
    EXPECT_EQ(strAfter, strExpected);
    EXPECT_EQ(lookup.LookupsBegun(), 3u);
}
