// Reads the clipboard's file-drop list. The clipboard is opened and its list
// parsed again only when the clipboard's sequence number has moved since the
// last parse; during the delivery of a batch of changes the number is read
// once, at the first read of the batch. A clipboard that cannot be opened then gives an empty list, as a
// fresh read does, and the next read tries again; while the sequence stands,
// the list parsed last is the answer, also while another window happens to
// hold the clipboard open (a fresh read would then find it busy).
#ifndef TERNFILEMON_COPY_DROPLISTREADER_H
#define TERNFILEMON_COPY_DROPLISTREADER_H

#include <windows.h>

#include <vector>

#include "CopiedFileList.h"

namespace tern {

class CDropListReader {
public:
    // The clipboard's file-drop list in clipboard order, opened with hOwner
    // when it has changed; empty when it holds no well-formed drop, or has
    // changed and cannot be opened.
    const CCopiedFileList& Read(HWND hOwner);

private:
    void Parse();

    bool m_bParsed = false;
    DWORD m_dwSequence = 0;
    unsigned long m_nCheckedInBatch = 0;  // the batch whose first read checked the number
    CCopiedFileList m_list;
};

// The names of a DROPFILES block of nSize bytes, in order, each at most 519
// characters in the ANSI code page (as DragQueryFileA with a 520-byte buffer
// gives them). The block comes from any process: false, and no names, when its
// header or its list does not end inside the block. One pass over the block.
bool ParseDropFiles(const BYTE* pBlock, size_t nSize, std::vector<ByteString>& vecNames);

}  // namespace tern

#endif
