// The decoder on hand-built FILE_NOTIFY_INFORMATION buffers, called directly
// with a recording handler (no threads involved).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "RecordingHandler.h"
#include "../../TernFileMon/DirectoryChanges/NotificationDecoder.h"
#include "../../TernFileMon/DirectoryChanges/WatchHealth.h"

using terntest::RecordingHandler;
using Lines = std::vector<std::string>;

namespace {

constexpr DWORD kBufferSize = 4096;

// Builds a buffer of linked records, each DWORD-aligned.
class BufferBuilder {
public:
    explicit BufferBuilder(DWORD nStart = 0) : m_nNext(nStart) {
        m_buffer.assign(kBufferSize, 0);
    }
    BufferBuilder& Add(DWORD dwAction, const std::wstring& strName) {
        const DWORD nSize = (12 + static_cast<DWORD>(strName.size() * 2) + 3) & ~3u;
        if (m_nLast != kNone) SetDword(m_nLast, m_nNext - m_nLast);
        SetDword(m_nNext + 4, dwAction);
        SetDword(m_nNext + 8, static_cast<DWORD>(strName.size() * 2));
        std::memcpy(&m_buffer[m_nNext + 12], strName.data(), strName.size() * 2);
        m_nLast = m_nNext;
        m_nNext += nSize;
        return *this;
    }
    void SetDword(DWORD nOffset, DWORD dwValue) {
        std::memcpy(&m_buffer[nOffset], &dwValue, sizeof(dwValue));
    }
    BYTE* Data() { return m_buffer.data(); }
    DWORD Used() const { return m_nNext; }

private:
    static constexpr DWORD kNone = 0xFFFFFFFF;
    std::vector<BYTE> m_buffer;
    DWORD m_nNext;
    DWORD m_nLast = kNone;
};

DWORD Decode(BufferBuilder& buffer, RecordingHandler& handler, const std::string& strDir = "D:\\") {
    tern::CFileNotifyInformation info(buffer.Data(), kBufferSize);
    DWORD nCarry = 0xDEAD;
    tern::ProcessNotifications(info, strDir, handler, nCarry);
    return nCarry;
}

}  // namespace

// Names are cut at 260 units and converted with code page 936; the watched
// directory gets its separator.
TEST(Decoder, RecordsBecomeCallsWithFullPathsAndRenamePairsAreJoined) {
    BufferBuilder buffer;
    buffer.Add(FILE_ACTION_ADDED, L"new.txt")
        .Add(FILE_ACTION_MODIFIED, L"sub\\new.txt")
        .Add(FILE_ACTION_RENAMED_OLD_NAME, L"a.txt")
        .Add(FILE_ACTION_RENAMED_NEW_NAME, L"b.txt")
        .Add(77, L"unknown.action")
        .Add(FILE_ACTION_REMOVED, L"gone.txt")
        .Add(FILE_ACTION_ADDED, std::wstring(300, L'n'))
        .Add(FILE_ACTION_ADDED, L"\x4E2D\x6587.txt")    // two Chinese characters
        .Add(FILE_ACTION_ADDED, L"\x0E01\x263A.txt");  // Thai and a smiley: not in 936
    RecordingHandler handler;
    EXPECT_EQ(Decode(buffer, handler, "D:"), 0u);
    EXPECT_EQ(handler.Lines(), (Lines{"added D:\\new.txt", "modified D:\\sub\\new.txt", "renamed D:\\a.txt > D:\\b.txt",
                                      "removed D:\\gone.txt", "added D:\\" + std::string(260, 'n'),
                                      "added D:\\\xD6\xD0\xCE\xC4.txt", "added D:\\??.txt"}));
}

TEST(Decoder, HostileLinksAndLengthsStayInsideTheBuffer) {
    RecordingHandler handler;
    // A link far outside the buffer ends the batch after the first record.
    BufferBuilder outside;
    outside.Add(FILE_ACTION_ADDED, L"first");
    outside.SetDword(0, 0x7FFFFFF0);
    EXPECT_EQ(Decode(outside, handler), 0u);
    // A link that leaves no room for a record header.
    BufferBuilder edge;
    edge.Add(FILE_ACTION_ADDED, L"second");
    edge.SetDword(0, kBufferSize - 4);
    Decode(edge, handler);
    // A name length that runs past the end of the buffer is cut at the end.
    BufferBuilder longName;
    longName.Add(FILE_ACTION_MODIFIED, L"x");
    const DWORD nLast = kBufferSize - 16;
    longName.SetDword(0, nLast);
    longName.SetDword(nLast + 4, FILE_ACTION_REMOVED);
    longName.SetDword(nLast + 8, 0xFFFFFFF0);
    longName.SetDword(nLast + 12, 0x00620061);  // "ab"
    Decode(longName, handler);
    EXPECT_EQ(handler.Lines(), (Lines{"added D:\\first", "added D:\\second", "modified D:\\x", "removed D:\\ab"}));
    // No buffer at all.
    tern::CFileNotifyInformation none(nullptr, kBufferSize);
    EXPECT_EQ(none.GetAction(), 0u);
    EXPECT_FALSE(none.GetNextNotifyInformation());
    EXPECT_EQ(none.GetFileName(), "");
}

// A rename whose new-name record comes with the next read: the first read
// delivers nothing and asks for the next read to start behind the kept
// record; the second completes the pair. A half without its other half (a
// new name whose old name went with a lost read, an old name whose new name
// never came) is delivered as nothing and counted as lost.
TEST(Decoder, RenameSplitAcrossTwoReadsIsJoinedAndLoneHalvesAreCountedLost) {
    const std::atomic<std::uint64_t>& lost =
        tern::CHealthRegistry::Instance().Totals().m_nLost[TERN_LOSS_RENAME_HALF];
    const std::uint64_t nLostBefore = lost.load();
    RecordingHandler handler;
    BufferBuilder lone;
    lone.Add(FILE_ACTION_RENAMED_NEW_NAME, L"b.txt");
    EXPECT_EQ(Decode(lone, handler), 0u);
    EXPECT_TRUE(handler.Calls().empty());
    EXPECT_EQ(lost.load() - nLostBefore, 1u);

    std::vector<BYTE> buffer(kBufferSize, 0);
    BufferBuilder first;
    first.Add(FILE_ACTION_ADDED, L"c.txt").Add(FILE_ACTION_RENAMED_OLD_NAME, L"old-name.txt");
    std::memcpy(buffer.data(), first.Data(), first.Used());
    const DWORD nOffset =
        tern::DecodeCompletedRead(buffer.data(), kBufferSize, 0, first.Used(), "D:\\w", handler);
    ASSERT_GT(nOffset, 0u);
    EXPECT_EQ(nOffset % 4, 0u);
    EXPECT_EQ(handler.Calls().size(), 1u);

    // The second read writes behind the kept record.
    BufferBuilder second;
    second.Add(FILE_ACTION_RENAMED_NEW_NAME, L"new-name.txt").Add(FILE_ACTION_REMOVED, L"c.txt");
    std::memcpy(buffer.data() + nOffset, second.Data(), second.Used());
    EXPECT_EQ(tern::DecodeCompletedRead(buffer.data(), kBufferSize, nOffset, second.Used(), "D:\\w",
                                        handler),
              0u);
    EXPECT_EQ(handler.Lines(), (Lines{"added D:\\w\\c.txt", "renamed D:\\w\\old-name.txt > D:\\w\\new-name.txt",
                                      "removed D:\\w\\c.txt"}));

    // A read that brings nothing (overflow) drops the kept half and starts over.
    BufferBuilder third;
    third.Add(FILE_ACTION_RENAMED_OLD_NAME, L"lost.txt");
    std::memcpy(buffer.data(), third.Data(), third.Used());
    const DWORD nKept =
        tern::DecodeCompletedRead(buffer.data(), kBufferSize, 0, third.Used(), "D:\\w", handler);
    ASSERT_GT(nKept, 0u);
    EXPECT_EQ(lost.load() - nLostBefore, 1u) << "the kept old name is not lost yet";
    EXPECT_EQ(tern::DecodeCompletedRead(buffer.data(), kBufferSize, nKept, 0, "D:\\w", handler), 0u);
    EXPECT_EQ(handler.Calls().size(), 3u);
    EXPECT_EQ(lost.load() - nLostBefore, 2u);
}
