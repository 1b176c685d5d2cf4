// Decoding of a completed ReadDirectoryChangesW buffer into handler calls.
#ifndef TERNFILEMON_DIRECTORYCHANGES_NOTIFICATIONDECODER_H
#define TERNFILEMON_DIRECTORYCHANGES_NOTIFICATIONDECODER_H

#include <windows.h>

#include "../common/ByteString.h"

namespace tern {

class CDirectoryChangeHandler;

// Walks the FILE_NOTIFY_INFORMATION records of one buffer. A record counts only
// when its header and its name lie inside the bound; the walk ends at the first
// link that is zero or leads outside.
class CFileNotifyInformation {
public:
    CFileNotifyInformation(const BYTE* pBuffer, DWORD nBufferSize);

    // 0 when there is no current record.
    DWORD GetAction() const;
    bool GetNextNotifyInformation();
    // The name converted with code page 936, cut at 260 UTF-16 units.
    ByteString GetFileName() const;
    // strDirectory + "\" (unless it already ends with one) + the name.
    ByteString GetFileNameWithPath(const ByteString& strDirectory) const;

    // The current record: its offset from the buffer start and its size
    // (header plus name, in bytes).
    DWORD GetCurrentOffset() const { return m_nCurrent; }
    DWORD GetCurrentRecordSize() const;

private:
    bool IsRecordInBounds(DWORD nOffset) const;

    const BYTE* m_pBuffer;
    DWORD m_nBufferSize;
    DWORD m_nCurrent;
    bool m_bValid;
};

// Decodes one batch into calls on pHandler. nCarryOverOffset comes back 0, or
// non-zero when the batch ends with an old-name record whose new-name record is
// still to come: the iterator is then left on that record.
void ProcessNotifications(CFileNotifyInformation& notifyInfo, const ByteString& strDirectory,
                          CDirectoryChangeHandler& handler, DWORD& nCarryOverOffset);

// Decodes one completed read held in a buffer of nBufferSize bytes, including
// the carry-over of a split rename; returns the offset at which the next
// read's bytes must be placed. nPreviousOffset is what the previous call
// returned, nBytes what the read brought (placed at pBuffer + nPreviousOffset).
DWORD DecodeCompletedRead(BYTE* pBuffer, DWORD nBufferSize, DWORD nPreviousOffset, DWORD nBytes,
                          const ByteString& strDirectory, CDirectoryChangeHandler& handler);

}  // namespace tern

#endif
