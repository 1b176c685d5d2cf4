// The clipboard's drop list during the delivery of a batch of changes: its
// sequence number is looked at once per batch, so a change of the clipboard
// is seen by the first read of the next batch (and at once outside a batch),
// never later.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "CopyDetectionSupport.h"
#include "../../TernFileMon/DirectoryChanges/DeliveryBatch.h"
#include "../../TernFileMon/copy/DropListReader.h"

namespace {

using terntest::ClipboardWriter;

std::vector<std::string> Names(const tern::CCopiedFileList& list) {
    std::list<tern::ByteString> lstNames;
    list.CopyTo(lstNames);
    return std::vector<std::string>(lstNames.begin(), lstNames.end());
}

TEST(CopyDetectionBatch, AClipboardChangeIsSeenByTheNextBatch) {
    ClipboardWriter clipboard;
    tern::CDropListReader reader;
    const std::vector<std::string> vecFirst = {"C:\\batch\\first.doc"};
    const std::vector<std::string> vecSecond = {"C:\\batch\\second.doc", "C:\\batch\\third.doc"};

    EXPECT_EQ(tern::CurrentDeliveryBatch(), 0u);
    ASSERT_TRUE(clipboard.PutFileDrop(vecFirst));
    EXPECT_EQ(Names(reader.Read(nullptr)), vecFirst);
    {
        const tern::CDeliveryBatchScope batch;
        EXPECT_NE(tern::CurrentDeliveryBatch(), 0u);
        EXPECT_EQ(Names(reader.Read(nullptr)), vecFirst);
        // Changed while the batch is delivered: all its changes came before.
        ASSERT_TRUE(clipboard.PutFileDrop(vecSecond));
        EXPECT_EQ(Names(reader.Read(nullptr)), vecFirst);
    }
    EXPECT_EQ(tern::CurrentDeliveryBatch(), 0u);
    {
        const tern::CDeliveryBatchScope batch;
        EXPECT_EQ(Names(reader.Read(nullptr)), vecSecond);
        ASSERT_TRUE(clipboard.Empty());
    }
    // Outside a batch every read looks at the number.
    EXPECT_TRUE(Names(reader.Read(nullptr)).empty());
    ASSERT_TRUE(clipboard.PutFileDrop(vecFirst));
    EXPECT_EQ(Names(reader.Read(nullptr)), vecFirst);
}

}  // namespace
