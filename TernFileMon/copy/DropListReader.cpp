#include "DropListReader.h"

#include <new>
#include <shlobj.h>

#include <cstring>

#include "../DirectoryChanges/DeliveryBatch.h"

namespace tern {

namespace {

constexpr size_t kMaxNameLength = 519;  // what a 520-byte DragQueryFileA buffer holds

// Length of the zero-terminated string at pText within nMax characters, or
// nMax when it is not terminated there.
template <typename Char>
size_t BoundedLength(const Char* pText, size_t nMax) {
    size_t n = 0;
    while (n < nMax && pText[n] != 0) ++n;
    return n;
}

ByteString NarrowName(const char* pName, size_t nLength) {
    return ByteString(pName, nLength < kMaxNameLength ? nLength : kMaxNameLength);
}

ByteString NarrowName(const wchar_t* pName, size_t nLength) {
    char szName[kMaxNameLength + 1] = {};
    ::WideCharToMultiByte(CP_ACP, 0, pName, static_cast<int>(nLength), szName,
                          static_cast<int>(kMaxNameLength), nullptr, nullptr);
    return ByteString(szName, BoundedLength(szName, kMaxNameLength));
}

template <typename Char>
bool ParseNames(const BYTE* pNames, size_t nBytes, std::vector<ByteString>& vecNames) {
    // Copied out so that the characters are read aligned wherever pFiles points.
    std::vector<Char> vecText(nBytes / sizeof(Char));
    if (!vecText.empty()) std::memcpy(vecText.data(), pNames, vecText.size() * sizeof(Char));
    const size_t nChars = vecText.size();
    size_t nPos = 0;
    while (nPos < nChars) {
        const size_t nLength = BoundedLength(vecText.data() + nPos, nChars - nPos);
        if (nLength == nChars - nPos) break;  // no terminator inside the block
        if (nLength == 0) return true;        // the list's closing zero
        ByteString strName = NarrowName(vecText.data() + nPos, nLength);
        if (!strName.empty()) vecNames.push_back(std::move(strName));
        nPos += nLength + 1;
    }
    vecNames.clear();
    return false;
}

}  // namespace

bool ParseDropFiles(const BYTE* pBlock, size_t nSize, std::vector<ByteString>& vecNames) {
    vecNames.clear();
    if (pBlock == nullptr || nSize < sizeof(DROPFILES)) return false;
    DROPFILES header;
    std::memcpy(&header, pBlock, sizeof(header));
    if (header.pFiles < sizeof(DROPFILES) || header.pFiles >= nSize) return false;
    const BYTE* pNames = pBlock + header.pFiles;
    const size_t nNameBytes = nSize - header.pFiles;
    return header.fWide ? ParseNames<wchar_t>(pNames, nNameBytes, vecNames)
                        : ParseNames<char>(pNames, nNameBytes, vecNames);
}

void CDropListReader::Parse() {
    std::vector<ByteString> vecNames;
    if (::IsClipboardFormatAvailable(CF_HDROP)) {
        HANDLE hData = ::GetClipboardData(CF_HDROP);
        const BYTE* pBlock = hData != nullptr ? static_cast<const BYTE*>(::GlobalLock(hData)) : nullptr;
        if (pBlock != nullptr) {
            try {
                ParseDropFiles(pBlock, ::GlobalSize(hData), vecNames);
            } catch (const std::bad_alloc&) {
                // The names gathered so far stay; the clipboard is unlocked below.
                ::OutputDebugStringA("Drop list: out of memory, list cut short");
            }
            ::GlobalUnlock(hData);
        }
    }
    m_list.Assign(std::move(vecNames));
}

namespace {
// At namespace scope, not function-local, so that no initialisation guard runs.
const CCopiedFileList g_emptyList;
}  // namespace

const CCopiedFileList& CDropListReader::Read(HWND hOwner) {
    // The list parsed last stands while the sequence has not moved: opening
    // the clipboard costs several server round trips, checking the number one.
    // A list is kept only from a clipboard that could be opened, so a process
    // without clipboard access (whose number stays 0) never keeps one.
    // Within one delivered batch the number is looked at once (see
    // DeliveryBatch.h): every change of the batch happened before that look.
    const unsigned long nBatch = CurrentDeliveryBatch();
    if (m_bParsed && nBatch != 0 && nBatch == m_nCheckedInBatch) return m_list;
    if (m_bParsed && ::GetClipboardSequenceNumber() == m_dwSequence) {
        m_nCheckedInBatch = nBatch;
        return m_list;
    }
    if (!::OpenClipboard(hOwner)) return g_emptyList;
    // Taken again while the clipboard is open, when nobody can change it: the
    // number then belongs to exactly the data parsed.
    m_dwSequence = ::GetClipboardSequenceNumber();
    Parse();
    m_bParsed = true;
    m_nCheckedInBatch = nBatch;
    ::CloseClipboard();
    return m_list;
}

}  // namespace tern
