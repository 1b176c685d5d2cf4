// The printed forms of a report: JSON Lines with every field and safe quoting,
// and the readable line.
#include <gtest/gtest.h>

#include "EventFormat.h"

namespace {

FileMonEvent CopyEvent() {
    FileMonEvent event;
    event.strPath = "D:\\docs\\a.doc ==> E:\\a.doc";
    event.strTime = "2026-12-05 15:20:01";
    event.strAction = "Copy";
    event.strRuleTag = "usb-doc";
    event.strSource = "D:\\docs\\a.doc";
    event.strTarget = "E:\\a.doc";
    return event;
}

// JSON's escapes, and bytes above 0x7F decoded in their code page.
TEST(EventFormat, JsonQuotingEscapesAndDecodesInTheCodePage) {
    const struct {
        std::string strIn;
        unsigned int nCodePage;
        const char* pszQuoted;
    } cases[] = {
        {"C:\\a\\b", 1252, "\"C:\\\\a\\\\b\""},
        {"say \"hi\"", 1252, "\"say \\\"hi\\\"\""},
        {"\t\r\n\b\f", 1252, "\"\\t\\r\\n\\b\\f\""},
        {std::string("\x01\x1f\x7f", 3), 1252, "\"\\u0001\\u001f\\u007f\""},
        {std::string("a\0b", 3), 1252, "\"a\\u0000b\""},
        {"/ ok ~", 1252, "\"/ ok ~\""},
        {"caf\xE9 \x80", 1252, "\"caf\\u00e9 \\u20ac\""},  // e acute and the euro sign
        // The "copy of" word, whose trail bytes are no ASCII.
        {"D:\\\xB8\xB4\xBC\xFE a.doc", 936, "\"D:\\\\\\u590d\\u4ef6 a.doc\""},
        {"\x81\x5C", 936, "\"\\u4e57\""},  // a trail byte in the ASCII range is no backslash
        {"x\x81", 936, "\"x\\u0081\""},    // a lead byte without its trail byte: kept as U+00XX
    };
    for (const auto& c : cases) EXPECT_EQ(tern::JsonQuote(c.strIn, c.nCodePage), c.pszQuoted) << c.strIn;
}

TEST(EventFormat, ReadableLineShowsSourceAndTargetOnlyForCopiesAndRenames) {
    EXPECT_EQ(tern::FormatReadableLine(CopyEvent(), "usb"),
              "2026-12-05 15:20:01  Copy    D:\\docs\\a.doc ==> E:\\a.doc  [usb: usb-doc]  "
              "source D:\\docs\\a.doc  target E:\\a.doc");
    FileMonEvent add = CopyEvent();
    add.strAction = "Add";
    add.strPath = "D:\\n.txt";
    EXPECT_EQ(tern::FormatReadableLine(add, "local"),
              "2026-12-05 15:20:01  Add     D:\\n.txt  [local: usb-doc]")
        << "an Add keeps the stale source and target of the record out of sight";
}

}  // namespace
