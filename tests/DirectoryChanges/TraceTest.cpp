// The trace gate (HKLM\SOFTWARE "AutoTest", read on every call) and the line layout.
#include <gtest/gtest.h>

#include <regex>

#include "DebugOutputCapture.h"
#include "../../TernFileMon/DirectoryChanges/Trace.h"

TEST(Trace, WritesOnlyWhileTheSwitchExistsInTheLayoutTimeTagMessageLineSource) {
    ASSERT_TRUE(terntest::DeleteAutoTestValue());
    terntest::DebugOutputCapture capture;
    tern::WriteTrace("before the switch", 1, "DirectoryChanges");
    ASSERT_TRUE(terntest::SetAutoTestValue());
    tern::WriteTrace("WatchDirectory  IsDirectory is FALSE", 123, "DirectoryChanges");
    tern::WriteTrace("negative", static_cast<int>(2147483648u), "DirectoryChanges");
    TERN_TRACE("from the macro");
    tern::WriteTrace(nullptr, 5, nullptr);
    ASSERT_TRUE(terntest::DeleteAutoTestValue());
    tern::WriteTrace("after the switch", 3, "DirectoryChanges");

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
    ASSERT_TRUE(std::regex_match(lines[2], match, layout)) << lines[2];
    EXPECT_EQ(match[1], "from the macro");
    EXPECT_NE(match[2], "0");
    // Null texts are written as empty ones.
    EXPECT_NE(lines[3].find(" [TernFileMon]  [line]:5 [source]:\r\n"), std::string::npos) << lines[3];
}
