// The shared clipboard section and the clipboard's file-drop list, on the real
// Wine clipboard and real named sections, and the one look at each per batch
// of delivered changes (a change is seen by the first read of the next batch,
// and at once outside a batch, never later).
#include <gtest/gtest.h>

#include <aclapi.h>

#include <list>
#include <thread>
#include <utility>

#include "CopyDetectionSupport.h"
#include "../../TernFileMon/DirectoryChanges/DeliveryBatch.h"
#include "../../TernFileMon/copy/DropListReader.h"
#include "../../TernFileMon/copy/SectionListReader.h"

using terntest::CopyDetectionSource;
using Paths = std::vector<std::string>;

namespace {

Paths ReadSection() {
    std::list<std::string> lst = {"left over"};
    tern::ReadClipboardBuffer(lst);
    return Paths(lst.begin(), lst.end());
}

Paths ClipboardFiles() {
    std::list<std::string> lst = {"left over"};
    tern::GetClipboardFiles(lst);
    return Paths(lst.begin(), lst.end());
}

Paths Names(const tern::CCopiedFileList& list) {
    std::list<tern::ByteString> lstNames;
    list.CopyTo(lstNames);
    return Paths(lstNames.begin(), lstNames.end());
}

}  // namespace

TEST(CopyDetectionSection, CreatedOnceAndOpenToEverybody) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    ASSERT_TRUE(tern::g_bClipBufferCreated);
    const HANDLE hFirst = tern::g_hClipBuffer.Get();
    void* const pFirstView = tern::g_pClipBufferView.Get();
    ASSERT_NE(hFirst, nullptr);
    ASSERT_NE(pFirstView, nullptr);
    ASSERT_TRUE(tern::CreateClipboardBuffer());  // the next policy handler
    EXPECT_EQ(tern::g_hClipBuffer.Get(), hFirst);
    EXPECT_EQ(tern::g_pClipBufferView.Get(), pFirstView);

    DWORD dwFlags = 0;
    ASSERT_TRUE(::GetHandleInformation(hFirst, &dwFlags));
    EXPECT_NE(dwFlags & HANDLE_FLAG_INHERIT, 0u);

    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(hFirst, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &pDacl, nullptr, &pDescriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(pDacl, nullptr) << "a null DACL gives everybody full access";
    ::LocalFree(pDescriptor);
}

TEST_F(CopyDetectionSource, HostileSectionContentsGiveCleanLists) {
    m_section.WriteText("C:\\a.txt|D:\\b\\c.doc|");
    EXPECT_EQ(ReadSection(), (Paths{"C:\\a.txt", "D:\\b\\c.doc"}));

    m_section.WriteText("D:\\\xB8\xB4\xBC\xFE.txt");  // bytes above 0x7F pass unchanged
    EXPECT_EQ(ReadSection(), Paths{"D:\\\xB8\xB4\xBC\xFE.txt"});

    m_section.Clear();
    EXPECT_EQ(ReadSection(), Paths());

    // No terminator anywhere: one piece, the whole section and not a byte more.
    m_section.Fill('x');
    Paths vecRead = ReadSection();
    ASSERT_EQ(vecRead.size(), 1u);
    EXPECT_EQ(vecRead[0].size(), static_cast<size_t>(tern::kClipBufferSize));
    EXPECT_EQ(vecRead[0].find_first_not_of('x'), std::string::npos);

    // Only bars, no terminator.
    m_section.Fill('|');
    EXPECT_EQ(ReadSection(), Paths());

    // One huge piece beside a normal one.
    const std::string strHuge(1000000, 'h');
    m_section.WriteText("|" + strHuge + "||C:\\short.txt");
    vecRead = ReadSection();
    ASSERT_EQ(vecRead.size(), 2u);
    EXPECT_EQ(vecRead[0], strHuge);
    EXPECT_EQ(vecRead[1], "C:\\short.txt");
}

TEST_F(CopyDetectionSource, ClipboardHeldByAnotherWindowGivesAnEmptyList) {
    ASSERT_TRUE(m_clipboard.PutFileDrop({"D:\\held\\a.doc"}));
    HANDLE hOpened = ::CreateEventA(nullptr, TRUE, FALSE, nullptr), hRelease = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool bHeld = false;
    std::thread holder([&] {
        HWND hWnd = ::CreateWindowExA(0, "STATIC", "Holder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        bHeld = hWnd != nullptr && ::OpenClipboard(hWnd);
        ::SetEvent(hOpened);
        ::WaitForSingleObject(hRelease, 10000);
        if (bHeld) ::CloseClipboard();
        if (hWnd != nullptr) ::DestroyWindow(hWnd);
    });
    ASSERT_EQ(::WaitForSingleObject(hOpened, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(bHeld);
    EXPECT_EQ(ClipboardFiles(), Paths());
    ::SetEvent(hRelease);
    holder.join();
    ::CloseHandle(hOpened);
    ::CloseHandle(hRelease);
    EXPECT_EQ(ClipboardFiles(), Paths{"D:\\held\\a.doc"});
}

TEST_F(CopyDetectionSource, SectionAndClipboardChangesAreSeenByTheNextBatch) {
    using SectionAndDrop = std::pair<Paths, Paths>;
    tern::CSectionListReader sectionReader;
    tern::CDropListReader dropReader;
    const Paths vecFirst = {"C:\\batch\\first.doc"};
    const Paths vecSecond = {"C:\\batch\\second.doc", "C:\\batch\\third.doc"};
    // The same names into the section ('|' between them) and onto the clipboard.
    auto put = [&](const Paths& vecNames) {
        std::string strText;
        for (const std::string& strName : vecNames) strText += strName + "|";
        m_section.WriteText(strText);
        return m_clipboard.PutFileDrop(vecNames);
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
        m_section.Clear();
        ASSERT_TRUE(m_clipboard.Empty());
    }
    // Outside a batch every read looks again.
    EXPECT_EQ(read(), SectionAndDrop());
    ASSERT_TRUE(put(vecFirst));
    EXPECT_EQ(read(), SectionAndDrop(vecFirst, vecFirst));
}
