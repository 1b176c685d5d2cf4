// The shared section and the clipboard's drop list during the delivery of a
// batch of changes: each is looked at once per batch, so a change is seen by
// the first read of the next batch (and at once outside a batch), never later.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "CopyDetectionSupport.h"
#include "../../TernFileMon/DirectoryChanges/DeliveryBatch.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/copy/DropListReader.h"
#include "../../TernFileMon/copy/SectionListReader.h"

namespace {

using terntest::ClipboardWriter;
using terntest::SectionWriter;

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

TEST(CopyDetectionBatch, ASectionChangeIsSeenByTheNextBatch) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter section;
    ASSERT_TRUE(section.IsOpen());
    tern::CSectionListReader reader;
    const std::vector<std::string> vecFirst = {"C:\\batch\\one.doc"};
    const std::vector<std::string> vecSecond = {"C:\\batch\\two.doc"};

    section.WriteText(vecFirst[0]);
    {
        const tern::CDeliveryBatchScope batch;
        EXPECT_EQ(Names(reader.Read()), vecFirst);
        section.WriteText(vecSecond[0]);
        EXPECT_EQ(Names(reader.Read()), vecFirst);
    }
    {
        const tern::CDeliveryBatchScope batch;
        EXPECT_EQ(Names(reader.Read()), vecSecond);
    }
    section.Clear();
    EXPECT_TRUE(Names(reader.Read()).empty());
}

}  // namespace
