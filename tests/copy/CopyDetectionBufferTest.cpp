// The shared clipboard section and the clipboard's file-drop list, on the real
// Wine clipboard and real named sections.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <shlobj.h>

#include <cstring>
#include <list>
#include <thread>

#include "CopyDetectionSupport.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"

using terntest::ClipboardWriter;
using terntest::SectionWriter;
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

TEST(CopyDetectionSection, HostileContentsGiveCleanLists) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter writer;
    ASSERT_TRUE(writer.IsOpen());

    writer.WriteText("C:\\a.txt|D:\\b\\c.doc|");
    EXPECT_EQ(ReadSection(), (Paths{"C:\\a.txt", "D:\\b\\c.doc"}));

    writer.WriteText("D:\\\xB8\xB4\xBC\xFE.txt");  // bytes above 0x7F pass unchanged
    EXPECT_EQ(ReadSection(), Paths{"D:\\\xB8\xB4\xBC\xFE.txt"});

    writer.Clear();
    EXPECT_EQ(ReadSection(), Paths());

    // No terminator anywhere: one piece, the whole section and not a byte more.
    writer.Fill('x');
    Paths vecRead = ReadSection();
    ASSERT_EQ(vecRead.size(), 1u);
    EXPECT_EQ(vecRead[0].size(), static_cast<size_t>(tern::kClipBufferSize));
    EXPECT_EQ(vecRead[0].find_first_not_of('x'), std::string::npos);

    // Only bars, no terminator.
    writer.Fill('|');
    EXPECT_EQ(ReadSection(), Paths());

    // One huge piece beside a normal one.
    const std::string strHuge(1000000, 'h');
    writer.WriteText("|" + strHuge + "||C:\\short.txt");
    vecRead = ReadSection();
    ASSERT_EQ(vecRead.size(), 2u);
    EXPECT_EQ(vecRead[0], strHuge);
    EXPECT_EQ(vecRead[1], "C:\\short.txt");
}

TEST(CopyDetectionClipboard, ClipboardHeldByAnotherWindowGivesAnEmptyList) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter writer;
    writer.Clear();
    ClipboardWriter clipboard;
    ASSERT_TRUE(clipboard.PutFileDrop({"D:\\held\\a.doc"}));
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
