// Reads the file list of the shared section "Global\Nimb_Clipbrd_Buffer"
// through one view that stays mapped, and parses it again only when the used
// bytes (the text up to its terminating zero) differ from those parsed last.
// Any process may write the section: the text is read only within the view's
// readable pages and compared byte for byte, so the answer is always the one
// a fresh read would give, at a cost bounded by the section's size. During the
// delivery of a batch of changes the section is read once, at the batch's first
// read (see DeliveryBatch.h); a read that cannot map the section is no answer
// and is not kept.
#ifndef TERNFILEMON_COPY_SECTIONLISTREADER_H
#define TERNFILEMON_COPY_SECTIONLISTREADER_H

#include <vector>

#include "../common/Win32Handles.h"
#include "CopiedFileList.h"

namespace tern {

class CSectionListReader {
public:
    // The section's current list; empty when the section is absent,
    // unreadable or holds no list (and the failure written to the debugger).
    const CCopiedFileList& Read();

private:
    bool Map();

    UniqueHandle m_hSection;
    UniqueMappedView m_view;
    std::vector<char> m_vecParsedText;  // the text behind m_list
    unsigned long m_nReadInBatch = 0;   // the batch whose first read gave m_list
    CCopiedFileList m_list;
};

// Bytes of a view, from its start, that can be read (committed, readable, no
// guard page), at most nWanted.
size_t ReadableLength(const void* pView, size_t nWanted);

}  // namespace tern

#endif
