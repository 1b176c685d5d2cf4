// The shared section and the clipboard's drop list during the delivery of a
// batch of changes: each is looked at once per batch, so a change is seen by
// the first read of the next batch (and at once outside a batch), never later.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <utility>
#include <vector>

#include "CopyDetectionSupport.h"
#include "../../TernFileMon/DirectoryChanges/DeliveryBatch.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"
#include "../../TernFileMon/copy/DropListReader.h"
#include "../../TernFileMon/copy/SectionListReader.h"

namespace {

using List = std::vector<std::string>;
using SectionAndDrop = std::pair<List, List>;

List Names(const tern::CCopiedFileList& list) {
    std::list<tern::ByteString> lstNames;
    list.CopyTo(lstNames);
    return List(lstNames.begin(), lstNames.end());
}

TEST(CopyDetectionBatch, SectionAndClipboardChangesAreSeenByTheNextBatch) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    terntest::SectionWriter section;
    ASSERT_TRUE(section.IsOpen());
    terntest::ClipboardWriter clipboard;
    tern::CSectionListReader sectionReader;
    tern::CDropListReader dropReader;
    const List vecFirst = {"C:\\batch\\first.doc"};
    const List vecSecond = {"C:\\batch\\second.doc", "C:\\batch\\third.doc"};
    // The same names into the section ('|' between them) and onto the clipboard.
    auto put = [&](const List& vecNames) {
        std::string strText;
        for (const std::string& strName : vecNames) strText += strName + "|";
        section.WriteText(strText);
        return clipboard.PutFileDrop(vecNames);
    };
    auto read = [&] { return SectionAndDrop(Names(sectionReader.Read()), Names(dropReader.Read(nullptr))); };

    EXPECT_EQ(tern::CurrentDeliveryBatch(), 0u);
    ASSERT_TRUE(put(vecFirst));
    EXPECT_EQ(read(), SectionAndDrop(vecFirst, vecFirst));
    {
        const tern::CDeliveryBatchScope batch;
        EXPECT_NE(tern::CurrentDeliveryBatch(), 0u);
        EXPECT_EQ(read(), SectionAndDrop(vecFirst, vecFirst));
        // Changed while the batch is delivered: all its changes came before.
        ASSERT_TRUE(put(vecSecond));
        EXPECT_EQ(read(), SectionAndDrop(vecFirst, vecFirst));
    }
    EXPECT_EQ(tern::CurrentDeliveryBatch(), 0u);
    {
        const tern::CDeliveryBatchScope batch;
        EXPECT_EQ(read(), SectionAndDrop(vecSecond, vecSecond));
        section.Clear();
        ASSERT_TRUE(clipboard.Empty());
    }
    // Outside a batch every read looks again.
    EXPECT_EQ(read(), SectionAndDrop());
    ASSERT_TRUE(put(vecFirst));
    EXPECT_EQ(read(), SectionAndDrop(vecFirst, vecFirst));
}

}  // namespace
