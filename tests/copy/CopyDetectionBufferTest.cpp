// The shared clipboard section and the clipboard's file-drop list, on the real
// Wine clipboard and real named sections.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <shlobj.h>

#include <cstring>

#include "CopyDetectionSupport.h"
#include "DebugOutputCapture.h"
#include "../../TernFileMon/copy/ClipboardBuffer.h"

using terntest::ClipboardWriter;
using terntest::DebugOutputCapture;
using terntest::SectionWriter;
using terntest::ToVector;
using Paths = std::vector<std::string>;

namespace {

Paths Split(const std::string& strText, const std::string& strDelimiter, bool bKeepEmpty) {
    std::list<std::string> lst = {"left over"};
    tern::SplitString(strText, strDelimiter, bKeepEmpty, lst);
    return ToVector(lst);
}

Paths ReadSection() {
    std::list<std::string> lst = {"left over"};
    tern::ReadClipboardBuffer(lst);
    return ToVector(lst);
}

Paths ClipboardFiles() {
    std::list<std::string> lst = {"left over"};
    tern::GetClipboardFiles(lst);
    return ToVector(lst);
}

// What the reader makes of a section that is absent or made by someone else,
// seen before this process creates its own (the first test that runs could
// otherwise create it). Other processes of the Wine prefix may hold it already.
struct ForeignSectionOutcome {
    bool bChecked = false;
    std::string strSkipReason;
    Paths vecAbsent;
    size_t nOpenFailures = 0;
    Paths vecSmall;
    size_t nMapFailures = 0;
    bool bReservedMade = false;
    Paths vecReserved;
    Paths vecOnePageCommitted;
};

ForeignSectionOutcome g_foreign;

void ReadForeignSections() {
    g_foreign.bChecked = true;
    if (tern::g_bClipBufferCreated) {
        g_foreign.strSkipReason = "this process created the section already";
        return;
    }
    HANDLE hExisting = ::OpenFileMappingA(FILE_MAP_READ, FALSE, tern::kClipBufferName);
    if (hExisting != nullptr) {
        ::CloseHandle(hExisting);
        g_foreign.strSkipReason = "another process holds the shared section";
        return;
    }
    DebugOutputCapture capture;
    g_foreign.vecAbsent = ReadSection();
    g_foreign.nOpenFailures = capture.Count("nimbdaemon OpenFileMapping failed");

    // Smaller than the layout: the whole layout cannot be mapped.
    HANDLE hSmall = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                         tern::kClipBufferName);
    if (hSmall != nullptr) {
        void* pSmall = ::MapViewOfFile(hSmall, FILE_MAP_WRITE, 0, 0, 0);
        if (pSmall != nullptr) {
            std::memset(pSmall, 'a', 4096);
            g_foreign.vecSmall = ReadSection();
            g_foreign.nMapFailures = capture.Count("nimbdaemon MapViewOfFile failed");
            ::UnmapViewOfFile(pSmall);
        }
        ::CloseHandle(hSmall);
    }

    // The layout's size with reserved pages only, then one committed page
    // without a terminator.
    HANDLE hReserved = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                            PAGE_READWRITE | SEC_RESERVE, 0, tern::kClipBufferSize,
                                            tern::kClipBufferName);
    if (hReserved == nullptr) return;
    g_foreign.bReservedMade = true;
    g_foreign.vecReserved = ReadSection();
    char* pReserved = static_cast<char*>(::MapViewOfFile(hReserved, FILE_MAP_WRITE, 0, 0, 0));
    if (pReserved != nullptr) {
        if (::VirtualAlloc(pReserved, 4096, MEM_COMMIT, PAGE_READWRITE) != nullptr) {
            std::memset(pReserved, 'b', 4096);
            g_foreign.vecOnePageCommitted = ReadSection();
        }
        ::UnmapViewOfFile(pReserved);
    }
    ::CloseHandle(hReserved);
}

class ForeignSectionEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ReadForeignSections(); }
};

const auto* const g_pForeignEnvironment =
    ::testing::AddGlobalTestEnvironment(new ForeignSectionEnvironment);

}  // namespace

TEST(CopyDetectionSection, AbsentOrForeignSectionGivesEmptyListsAndMessages) {
    ASSERT_TRUE(g_foreign.bChecked);
    if (!g_foreign.strSkipReason.empty()) GTEST_SKIP() << g_foreign.strSkipReason;
    EXPECT_EQ(g_foreign.vecAbsent, Paths());
    EXPECT_EQ(g_foreign.nOpenFailures, 1u);
    EXPECT_EQ(g_foreign.vecSmall, Paths());
    EXPECT_EQ(g_foreign.nMapFailures, 1u);
    ASSERT_TRUE(g_foreign.bReservedMade);
    EXPECT_EQ(g_foreign.vecReserved, Paths());
    EXPECT_EQ(g_foreign.vecOnePageCommitted, Paths{std::string(4096, 'b')});
}

TEST(CopyDetectionSection, CreatedOnceOpenToEverybodyAndLowIntegrityLabelled) {
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

    // Wine takes the label (SetSecurityInfo succeeds) but reads back an empty
    // SACL, so only the outcome of setting it can be seen here.
    HANDLE hOther = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    ASSERT_NE(hOther, nullptr);
    EXPECT_TRUE(tern::SetLowIntegrityLabel(hOther, SE_KERNEL_OBJECT));
    ::CloseHandle(hOther);
    EXPECT_FALSE(tern::SetLowIntegrityLabel(nullptr, SE_KERNEL_OBJECT));
}

TEST(CopyDetectionSection, SplitStringPieces) {
    EXPECT_EQ(Split("C:\\a.txt|D:\\b\\c.doc|", "|", false), (Paths{"C:\\a.txt", "D:\\b\\c.doc"}));
    EXPECT_EQ(Split("|", "|", false), Paths());
    EXPECT_EQ(Split("||a|||b||", "|", false), (Paths{"a", "b"}));
    EXPECT_EQ(Split("", "|", true), Paths());
    EXPECT_EQ(Split("one", "|", true), Paths{"one"});
    // Kept empties: leading and inner ones count, the one after the last delimiter does not.
    EXPECT_EQ(Split("|a||b|", "|", true), (Paths{"", "a", "", "b"}));
    EXPECT_EQ(Split("x||||y", "||", true), (Paths{"x", "", "y"}));
    EXPECT_EQ(Split("x|||y", "||", true), (Paths{"x", "|y"}));
    EXPECT_EQ(Split("||", "||", true), Paths{""});
    EXPECT_EQ(Split("a|b", "", false), Paths{"a|b"});
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

    // Ends with a bar in the very last byte, no terminator.
    writer.Fill('|');
    writer.WriteText("C:\\first.txt");  // its zero ends the text early
    EXPECT_EQ(ReadSection(), Paths{"C:\\first.txt"});
}

TEST(CopyDetectionClipboard, SectionFirstThenTheFileDropList) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter writer;
    ASSERT_TRUE(writer.IsOpen());
    ClipboardWriter clipboard;

    // Section empty, clipboard holds two dropped files: those, in clipboard order.
    writer.Clear();
    ASSERT_TRUE(clipboard.PutFileDrop({"D:\\docs\\b.doc", "C:\\a\\Report.doc"}));
    EXPECT_EQ(ClipboardFiles(), (Paths{"D:\\docs\\b.doc", "C:\\a\\Report.doc"}));

    // Names of ANSI drop blocks come through the same way.
    ASSERT_TRUE(clipboard.PutFileDrop({"E:\\x.txt"}, false));
    EXPECT_EQ(ClipboardFiles(), Paths{"E:\\x.txt"});

    // The section's list wins over the clipboard.
    ASSERT_TRUE(clipboard.PutFileDrop({"D:\\docs\\b.doc"}));
    writer.WriteText("C:\\from\\section.txt|");
    EXPECT_EQ(ClipboardFiles(), Paths{"C:\\from\\section.txt"});

    // A section of bars alone holds no list: the clipboard is consulted.
    writer.WriteText("|");
    EXPECT_EQ(ClipboardFiles(), Paths{"D:\\docs\\b.doc"});
    writer.Fill('|');
    EXPECT_EQ(ClipboardFiles(), Paths{"D:\\docs\\b.doc"});
    writer.Clear();

    // Text only, or nothing: an empty list.
    ASSERT_TRUE(clipboard.PutText("C:\\not\\a\\drop.txt"));
    EXPECT_EQ(ClipboardFiles(), Paths());
    ASSERT_TRUE(clipboard.Empty());
    EXPECT_EQ(ClipboardFiles(), Paths());

    // A name longer than the 519 characters the reader takes is cut there.
    const std::string strLong = "D:\\" + std::string(600, 'n');
    ASSERT_TRUE(clipboard.PutFileDrop({strLong, "D:\\after.txt"}));
    const Paths vecRead = ClipboardFiles();
    ASSERT_EQ(vecRead.size(), 2u);
    EXPECT_EQ(vecRead[0], strLong.substr(0, 519));
    EXPECT_EQ(vecRead[1], "D:\\after.txt");
}

TEST(CopyDetectionClipboard, MalformedFileDropBlocksAreIgnored) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter writer;
    writer.Clear();
    ClipboardWriter clipboard;

    DROPFILES header = {};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = FALSE;
    std::vector<BYTE> vecBlock(reinterpret_cast<const BYTE*>(&header),
                               reinterpret_cast<const BYTE*>(&header) + sizeof(header));

    // Names that are never closed by a zero.
    std::vector<BYTE> vecOpen = vecBlock;
    vecOpen.insert(vecOpen.end(), 64, 'z');
    ASSERT_TRUE(clipboard.PutRawDrop(vecOpen));
    EXPECT_EQ(ClipboardFiles(), Paths());

    // A name offset beyond the block.
    std::vector<BYTE> vecFar = vecBlock;
    reinterpret_cast<DROPFILES*>(vecFar.data())->pFiles = 0x7FFFFFF0;
    vecFar.insert(vecFar.end(), {'a', 0, 0});
    ASSERT_TRUE(clipboard.PutRawDrop(vecFar));
    EXPECT_EQ(ClipboardFiles(), Paths());

    // A block shorter than its header.
    ASSERT_TRUE(clipboard.PutRawDrop(std::vector<BYTE>(8, 0)));
    EXPECT_EQ(ClipboardFiles(), Paths());

    // An empty list.
    std::vector<BYTE> vecEmpty = vecBlock;
    vecEmpty.insert(vecEmpty.end(), {0, 0});
    ASSERT_TRUE(clipboard.PutRawDrop(vecEmpty));
    EXPECT_EQ(ClipboardFiles(), Paths());
}

namespace {

// Holds the clipboard open from a thread of its own until told to let go.
struct ClipboardHolder {
    HANDLE hOpened = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hRelease = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool bHeld = false;

    static DWORD WINAPI Run(LPVOID pParam) {
        auto* pHolder = static_cast<ClipboardHolder*>(pParam);
        HWND hWnd = ::CreateWindowExA(0, "STATIC", "CopyDetectionHolder", 0, 0, 0, 0, 0,
                                      HWND_MESSAGE, nullptr, nullptr, nullptr);
        pHolder->bHeld = hWnd != nullptr && ::OpenClipboard(hWnd);
        ::SetEvent(pHolder->hOpened);
        ::WaitForSingleObject(pHolder->hRelease, 10000);
        if (pHolder->bHeld) ::CloseClipboard();
        if (hWnd != nullptr) ::DestroyWindow(hWnd);
        return 0;
    }
    ~ClipboardHolder() {
        ::CloseHandle(hOpened);
        ::CloseHandle(hRelease);
    }
};

}  // namespace

TEST(CopyDetectionClipboard, ClipboardHeldByAnotherWindowGivesAnEmptyList) {
    ASSERT_TRUE(tern::CreateClipboardBuffer());
    SectionWriter writer;
    writer.Clear();
    ClipboardWriter clipboard;
    ASSERT_TRUE(clipboard.PutFileDrop({"D:\\held\\a.doc"}));

    ClipboardHolder holder;
    HANDLE hThread = ::CreateThread(nullptr, 0, ClipboardHolder::Run, &holder, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    ASSERT_EQ(::WaitForSingleObject(holder.hOpened, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(holder.bHeld);
    EXPECT_EQ(ClipboardFiles(), Paths());
    ::SetEvent(holder.hRelease);
    ::WaitForSingleObject(hThread, 5000);
    ::CloseHandle(hThread);

    EXPECT_EQ(ClipboardFiles(), Paths{"D:\\held\\a.doc"});
}
