// The trace gate (HKLM\SOFTWARE "AutoTest", read on every call) and the line layout.
#include <gtest/gtest.h>

#include <regex>

#include "DebugOutputCapture.h"
#include "RegistrySwitch.h"
#include "../../TernFileMon/DirectoryChanges/Trace.h"

using terntest::AutoTestSwitch;
using terntest::DebugOutputCapture;

TEST(Trace, WritesOnlyWhileTheSwitchExistsAndFollowsItAtOnce) {
    ASSERT_TRUE(terntest::DeleteAutoTestValue());
    DebugOutputCapture capture;

    tern::WriteTrace("before the switch", 1, "DirectoryChanges");
    EXPECT_EQ(capture.Count("before the switch"), 0u);

    {
        AutoTestSwitch on;
        ASSERT_TRUE(on.IsOn());
        tern::WriteTrace("while switched on", 2, "DirectoryChanges");
        EXPECT_EQ(capture.Count("while switched on"), 1u);
    }

    tern::WriteTrace("after the switch", 3, "DirectoryChanges");
    EXPECT_EQ(capture.Count("after the switch"), 0u);
}

TEST(Trace, LineLayoutIsTimeTagMessageLineAndSource) {
    AutoTestSwitch on;
    DebugOutputCapture capture;

    tern::WriteTrace("WatchDirectory  IsDirectory is FALSE", 123, "DirectoryChanges");
    tern::WriteTrace("EnablePrivilege Fail:Error NO", static_cast<int>(2147483648u),
                     "DirectoryChanges");
    tern::WriteTrace("", 7, "DirectoryChanges");
    TERN_TRACE("from the macro");

    const std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::regex layout(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} \[TernFileMon\] (.*) \[line\]:(-?\d+) \[source\]:DirectoryChanges\r\n$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, layout)) << lines[0];
    EXPECT_EQ(match[1], "WatchDirectory  IsDirectory is FALSE");
    EXPECT_EQ(match[2], "123");

    ASSERT_TRUE(std::regex_match(lines[1], match, layout)) << lines[1];
    EXPECT_EQ(match[2], "-2147483648");

    // An empty message leaves the tag directly followed by the line label.
    EXPECT_NE(lines[2].find(" [TernFileMon]  [line]:7 [source]:"), std::string::npos) << lines[2];

    ASSERT_TRUE(std::regex_match(lines[3], match, layout)) << lines[3];
    EXPECT_EQ(match[1], "from the macro");
    EXPECT_NE(match[2], "0");
}

TEST(Trace, NullTextsAreWrittenAsEmpty) {
    AutoTestSwitch on;
    DebugOutputCapture capture;
    tern::WriteTrace(nullptr, 5, nullptr);
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_NE(capture.Lines()[0].find(" [TernFileMon]  [line]:5 [source]:\r\n"), std::string::npos);
}
