#include "NotificationDecoder.h"

#include <cstring>
#include <vector>

#include "DirectoryChangeHandler.h"
#include "WatchHealth.h"

namespace tern {

namespace {

// FILE_NOTIFY_INFORMATION without its name: next-entry offset, action, name
// length in bytes.
constexpr DWORD kRecordHeaderSize = 3 * sizeof(DWORD);
constexpr DWORD kMaxNameUnits = 260;
constexpr DWORD kMaxNameBytes = kMaxNameUnits * sizeof(WCHAR);
// Names reach the handlers in this code page whatever the system's ANSI one is.
constexpr UINT kFileNameCodePage = 936;

DWORD ReadDword(const BYTE* pAt) {
    DWORD dwValue = 0;
    std::memcpy(&dwValue, pAt, sizeof(dwValue));
    return dwValue;
}

void WriteDword(BYTE* pAt, DWORD dwValue) { std::memcpy(pAt, &dwValue, sizeof(dwValue)); }

DWORD AlignUp4(DWORD nValue) { return (nValue + 3u) & ~3u; }

}  // namespace

CFileNotifyInformation::CFileNotifyInformation(const BYTE* pBuffer, DWORD nBufferSize)
    : m_pBuffer(pBuffer), m_nBufferSize(nBufferSize), m_nCurrent(0), m_bValid(false) {
    m_bValid = m_pBuffer != nullptr && IsRecordInBounds(0);
}

bool CFileNotifyInformation::IsRecordInBounds(DWORD nOffset) const {
    return static_cast<unsigned long long>(nOffset) + kRecordHeaderSize <= m_nBufferSize;
}

DWORD CFileNotifyInformation::GetAction() const {
    return m_bValid ? ReadDword(m_pBuffer + m_nCurrent + sizeof(DWORD)) : 0;
}

bool CFileNotifyInformation::GetNextNotifyInformation() {
    if (!m_bValid) return false;
    const DWORD nNextOffset = ReadDword(m_pBuffer + m_nCurrent);
    if (nNextOffset == 0) return false;
    const unsigned long long nNext = static_cast<unsigned long long>(m_nCurrent) + nNextOffset;
    if (nNext > m_nBufferSize || !IsRecordInBounds(static_cast<DWORD>(nNext))) return false;
    m_nCurrent = static_cast<DWORD>(nNext);
    return true;
}

DWORD CFileNotifyInformation::GetCurrentRecordSize() const {
    if (!m_bValid) return 0;
    const DWORD nAvailable = m_nBufferSize - m_nCurrent - kRecordHeaderSize;
    DWORD nNameBytes = ReadDword(m_pBuffer + m_nCurrent + 2 * sizeof(DWORD));
    if (nNameBytes > nAvailable) nNameBytes = nAvailable & ~1u;
    return kRecordHeaderSize + nNameBytes;
}

ByteString CFileNotifyInformation::GetFileName() const {
    if (!m_bValid) return ByteString();
    DWORD nNameBytes = GetCurrentRecordSize() - kRecordHeaderSize;
    if (nNameBytes > kMaxNameBytes) nNameBytes = kMaxNameBytes;

    WCHAR szWide[kMaxNameUnits + 1] = {};
    std::memcpy(szWide, m_pBuffer + m_nCurrent + kRecordHeaderSize, nNameBytes);
    const int nNeeded =
        ::WideCharToMultiByte(kFileNameCodePage, 0, szWide, -1, nullptr, 0, nullptr, nullptr);
    if (nNeeded <= 0) return ByteString();
    std::vector<char> narrow(static_cast<size_t>(nNeeded) + 1, '\0');
    ::WideCharToMultiByte(kFileNameCodePage, 0, szWide, -1, narrow.data(), nNeeded, nullptr,
                          nullptr);
    return ByteString(narrow.data());
}

ByteString CFileNotifyInformation::GetFileNameWithPath(const ByteString& strDirectory) const {
    ByteString strPath = strDirectory;
    if (strPath.empty() || strPath.back() != '\\') strPath += '\\';
    strPath += GetFileName();
    return strPath;
}

void ProcessNotifications(CFileNotifyInformation& notifyInfo, const ByteString& strDirectory,
                          CDirectoryChangeHandler& handler, DWORD& nCarryOverOffset) {
    nCarryOverOffset = 0;
    do {
        switch (notifyInfo.GetAction()) {
            case FILE_ACTION_ADDED:
                handler.OnFileAdded(notifyInfo.GetFileNameWithPath(strDirectory));
                break;
            case FILE_ACTION_REMOVED:
                handler.OnFileRemoved(notifyInfo.GetFileNameWithPath(strDirectory));
                break;
            case FILE_ACTION_MODIFIED:
                handler.OnFileModified(notifyInfo.GetFileNameWithPath(strDirectory));
                break;
            case FILE_ACTION_RENAMED_OLD_NAME: {
                const ByteString strOldName = notifyInfo.GetFileNameWithPath(strDirectory);
                if (!notifyInfo.GetNextNotifyInformation()) {
                    // The new name comes with the next read: room for this
                    // record plus a terminating unit, kept DWORD-aligned
                    // because the next read starts right behind it.
                    nCarryOverOffset = AlignUp4(notifyInfo.GetCurrentRecordSize() + 2);
                    return;
                }
                handler.OnFileRenamed(strOldName, notifyInfo.GetFileNameWithPath(strDirectory));
                break;
            }
            case FILE_ACTION_RENAMED_NEW_NAME:
                // Its old name went with a read that was lost.
                NoteDecodeLoss(ELossKind::RenameHalf);
                break;
            default:
                // Unknown actions carry nothing we can use.
                break;
        }
    } while (notifyInfo.GetNextNotifyInformation());
}

// The carry-over of a rename split across two reads.
//
// The worker copies each completed read into a decode buffer twice the size of
// a read and re-issues the read at once. When a batch ends with an old-name
// record, that record is moved to the start of the decode buffer and the
// returned offset (DWORD-aligned, past the record) is where the next read's
// bytes are copied. Before that batch is decoded, the kept record's next-entry
// offset is pointed at them, so the batch again starts at the first byte of the
// buffer and the first new record completes the rename, as it would have within
// one read. A read that brings no bytes (overflow, aborted read) cannot
// complete the pair: the kept old name is dropped, since without its new name
// it cannot be reported as a rename. A kept record that would leave less than
// half of the buffer for the next read is dropped as well.
DWORD DecodeCompletedRead(BYTE* pBuffer, DWORD nBufferSize, DWORD nPreviousOffset, DWORD nBytes,
                          const ByteString& strDirectory, CDirectoryChangeHandler& handler) {
    if (pBuffer == nullptr || nBufferSize < kRecordHeaderSize) return 0;
    if (nPreviousOffset >= nBufferSize) nPreviousOffset = 0;
    if (nBytes == 0) {
        if (nPreviousOffset > 0) NoteDecodeLoss(ELossKind::RenameHalf);
        return 0;
    }
    if (nPreviousOffset > 0) WriteDword(pBuffer, nPreviousOffset);

    CFileNotifyInformation notifyInfo(pBuffer, nBufferSize);
    DWORD nCarryOverOffset = 0;
    ProcessNotifications(notifyInfo, strDirectory, handler, nCarryOverOffset);
    if (nCarryOverOffset == 0) return 0;
    if (nCarryOverOffset > nBufferSize / 2) {
        NoteDecodeLoss(ELossKind::RenameHalf);
        return 0;
    }

    const DWORD nRecordSize = notifyInfo.GetCurrentRecordSize();
    std::memmove(pBuffer, pBuffer + notifyInfo.GetCurrentOffset(), nRecordSize);
    WriteDword(pBuffer, 0);
    WriteDword(pBuffer + 2 * sizeof(DWORD), nRecordSize - kRecordHeaderSize);
    return nCarryOverOffset;
}

}  // namespace tern
