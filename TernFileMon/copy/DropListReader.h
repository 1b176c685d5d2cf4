// Reads the clipboard's file-drop list. The list is parsed again only when the
// clipboard's sequence number has moved since the last parse; the clipboard
// is still opened for every read, so a clipboard that cannot be opened gives
// an empty list exactly as a fresh read does.
#ifndef TERNFILEMON_COPY_DROPLISTREADER_H
#define TERNFILEMON_COPY_DROPLISTREADER_H

#include <windows.h>

#include <vector>

#include "CopiedFileList.h"

namespace tern {

class CDropListReader {
public:
    // The clipboard's file-drop list in clipboard order, opened with hOwner;
    // empty when the clipboard cannot be opened or holds no well-formed drop.
    const CCopiedFileList& Read(HWND hOwner);

private:
    void Parse();

    bool m_bParsed = false;
    DWORD m_dwSequence = 0;
    CCopiedFileList m_list;
};

// The names of a DROPFILES block of nSize bytes, in order, each at most 519
// characters in the ANSI code page (as DragQueryFileA with a 520-byte buffer
// gives them). The block comes from any process: false, and no names, when its
// header or its list does not end inside the block. One pass over the block.
bool ParseDropFiles(const BYTE* pBlock, size_t nSize, std::vector<ByteString>& vecNames);

}  // namespace tern

#endif
