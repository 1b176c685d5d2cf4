#include "SectionListReader.h"

#include <cstring>

#include "../common/DebugOutput.h"
#include "../DirectoryChanges/DeliveryBatch.h"
#include "ClipboardBuffer.h"

namespace tern {

namespace {
constexpr DWORD kSectionAllAccess = 0xF001F;  // FILE_MAP_ALL_ACCESS
}  // namespace

size_t ReadableLength(const void* pView, size_t nWanted) {
    // A section made by another process may be larger than its committed
    // pages (SEC_RESERVE) or smaller than the size asked for.
    const char* pCursor = static_cast<const char*>(pView);
    size_t nReadable = 0;
    while (nReadable < nWanted) {
        MEMORY_BASIC_INFORMATION info;
        if (::VirtualQuery(pCursor + nReadable, &info, sizeof(info)) != sizeof(info)) break;
        const DWORD dwReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                                 PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                 PAGE_EXECUTE_WRITECOPY;
        if (info.State != MEM_COMMIT || (info.Protect & dwReadable) == 0 ||
            (info.Protect & PAGE_GUARD) != 0) {
            break;
        }
        const char* pRegionEnd = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        nReadable = static_cast<size_t>(pRegionEnd - pCursor);
    }
    return nReadable < nWanted ? nReadable : nWanted;
}

bool CSectionListReader::Map() {
    // Once this process has made (or opened) the section, its own handle keeps
    // the name bound to that one section: a fresh open would find it again, so
    // the view can stay.
    UniqueHandle hSection(::OpenFileMappingA(kSectionAllAccess, FALSE, kClipBufferName));
    if (!hSection) {
        WriteDebugLine("nimbdaemon OpenFileMapping failed");
        return false;
    }
    UniqueMappedView view(::MapViewOfFile(hSection.Get(), kSectionAllAccess, 0, 0, kClipBufferSize));
    if (!view) {
        WriteDebugLine("nimbdaemon MapViewOfFile failed");
        return false;
    }
    m_hSection = std::move(hSection);
    m_view = std::move(view);
    return true;
}

const CCopiedFileList& CSectionListReader::Read() {
    const unsigned long nBatch = CurrentDeliveryBatch();
    if (nBatch != 0 && nBatch == m_nReadInBatch) return m_list;
    m_nReadInBatch = 0;
    if (!m_view && !Map()) {
        m_vecParsedText.clear();
        m_list.Clear();
        return m_list;
    }
    m_nReadInBatch = nBatch;
    // Until this process has made its own section, a section of that name is
    // someone else's and may go away: the view is then let go after this read,
    // so that the next read opens whatever bears the name by then.
    struct ReleaseUnlessOwned {
        CSectionListReader& reader;
        ~ReleaseUnlessOwned() {
            if (g_bClipBufferCreated) return;
            reader.m_view.Reset();
            reader.m_hSection.Reset();
        }
    } release{*this};
    const char* pText = static_cast<const char*>(m_view.Get());
    const size_t nReadable = ReadableLength(pText, kClipBufferSize);
    const void* pZero = std::memchr(pText, '\0', nReadable);
    const size_t nLength =
        pZero != nullptr ? static_cast<size_t>(static_cast<const char*>(pZero) - pText) : nReadable;
    if (nLength == m_vecParsedText.size() &&
        (nLength == 0 || std::memcmp(pText, m_vecParsedText.data(), nLength) == 0)) {
        return m_list;
    }
    // The writer may change the text while it is copied: the copy is what is
    // parsed and remembered, cut at a zero that came in meanwhile.
    m_vecParsedText.assign(pText, pText + nLength);
    const void* pLateZero = std::memchr(m_vecParsedText.data(), '\0', m_vecParsedText.size());
    ByteString strText(m_vecParsedText.data(),
                       pLateZero != nullptr
                           ? static_cast<size_t>(static_cast<const char*>(pLateZero) -
                                                 m_vecParsedText.data())
                           : m_vecParsedText.size());
    std::list<ByteString> lstPieces;
    SplitString(strText, kClipBufferDelimiter, false, lstPieces);
    m_list.Assign(std::vector<ByteString>(std::make_move_iterator(lstPieces.begin()),
                                          std::make_move_iterator(lstPieces.end())));
    return m_list;
}

}  // namespace tern
