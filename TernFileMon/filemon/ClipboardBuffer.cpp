#include "ClipboardBuffer.h"

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "../common/CriticalSection.h"
#include "../common/Win32Handles.h"
#include "FileMonitor.h"

namespace tern {

bool g_bClipBufferCreated = false;
HANDLE g_hClipBuffer = nullptr;
void* g_pClipBufferView = nullptr;

namespace {

// Two roots can be attached at once (host thread and window thread): only one
// of them may create the section, or a handle and a view would leak.
CriticalSection g_csClipBuffer;

// The section lives while the component is loaded: a host that unloads the
// library gets the handle and the view back.
struct ClipBufferRelease {
    ClipBufferRelease() = default;
    ClipBufferRelease(const ClipBufferRelease&) = delete;
    ClipBufferRelease& operator=(const ClipBufferRelease&) = delete;
    ~ClipBufferRelease() {
        if (g_pClipBufferView != nullptr) ::UnmapViewOfFile(g_pClipBufferView);
        if (g_hClipBuffer != nullptr) ::CloseHandle(g_hClipBuffer);
        g_pClipBufferView = nullptr;
        g_hClipBuffer = nullptr;
        g_bClipBufferCreated = false;
    }
};
ClipBufferRelease g_clipBufferRelease;

constexpr wchar_t kLowIntegritySddl[] = L"S:(ML;;NW;;;LW)";
constexpr SECURITY_INFORMATION kLabelSecurityInformation = 0x10;  // LABEL_SECURITY_INFORMATION
constexpr DWORD kSectionAllAccess = 0xF001F;                       // FILE_MAP_ALL_ACCESS
constexpr UINT kDragQueryCount = 0xFFFFFFFF;
constexpr UINT kDropNameBufferSize = 520;

void WriteDebugOutput(const ByteString& strText) { ::OutputDebugStringA(strText.c_str()); }

void WriteCreateFailure(DWORD dwError) {
    WriteDebugOutput(FormatTruncated(128, "CreateFileMapping failed,error code is %d",
                                     static_cast<int>(dwError)));
}

// Bytes of the view, from its start, that can be read: a section made by
// another process may be larger than its committed pages (SEC_RESERVE) or
// smaller than the size asked for.
size_t ReadableLength(const void* pView, size_t nWanted) {
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

// The zero-terminated text at the start of the view, never read past nLength.
ByteString CopySectionText(const void* pView, size_t nLength) {
    const char* pText = static_cast<const char*>(pView);
    const void* pZero = std::memchr(pText, '\0', nLength);
    const size_t nTextLength =
        pZero != nullptr ? static_cast<size_t>(static_cast<const char*>(pZero) - pText) : nLength;
    ByteString strText(pText, nTextLength);
    // The writer may have changed the text between the scan and the copy.
    const size_t nZero = strText.find('\0');
    if (nZero != ByteString::npos) strText.resize(nZero);
    return strText;
}

// Length in characters of a zero-terminated string of nMax characters at most,
// or nMax when it has no terminator there.
template <typename Char>
size_t BoundedLength(const Char* pText, size_t nMax) {
    size_t n = 0;
    while (n < nMax && pText[n] != 0) ++n;
    return n;
}

// A file-drop block is a DROPFILES header followed by names, each ended by a
// zero and the list by one more. The clipboard's data comes from any process:
// DragQueryFileA would walk past the block when the list is not closed in it.
template <typename Char>
bool IsClosedNameList(const BYTE* pNames, size_t nBytes) {
    const Char* pText = reinterpret_cast<const Char*>(pNames);
    const size_t nChars = nBytes / sizeof(Char);
    size_t nPos = 0;
    while (nPos < nChars) {
        const size_t nLength = BoundedLength(pText + nPos, nChars - nPos);
        if (nLength == nChars - nPos) return false;  // no terminator inside the block
        if (nLength == 0) return true;                // the list's closing zero
        nPos += nLength + 1;
    }
    return false;
}

bool IsWellFormedDropList(HANDLE hData) {
    const SIZE_T nSize = ::GlobalSize(hData);
    if (nSize < sizeof(DROPFILES)) return false;
    const BYTE* pBlock = static_cast<const BYTE*>(::GlobalLock(hData));
    if (pBlock == nullptr) return false;
    DROPFILES header;
    std::memcpy(&header, pBlock, sizeof(header));
    bool bWellFormed = false;
    if (header.pFiles >= sizeof(DROPFILES) && header.pFiles < nSize) {
        const BYTE* pNames = pBlock + header.pFiles;
        const size_t nNameBytes = nSize - header.pFiles;
        bWellFormed = header.fWide ? IsClosedNameList<wchar_t>(pNames, nNameBytes)
                                   : IsClosedNameList<char>(pNames, nNameBytes);
    }
    ::GlobalUnlock(hData);
    return bWellFormed;
}

void AppendDroppedFiles(HDROP hDrop, std::list<ByteString>& lstFiles) {
    const UINT nCount = ::DragQueryFileA(hDrop, kDragQueryCount, nullptr, 0);
    for (UINT i = 0; i < nCount; ++i) {
        char szName[kDropNameBufferSize] = {};
        ::DragQueryFileA(hDrop, i, szName, kDropNameBufferSize);
        const size_t nLength = BoundedLength(szName, kDropNameBufferSize - 1);
        if (nLength != 0) lstFiles.emplace_back(szName, nLength);
    }
}

// The clipboard's file-drop list, in clipboard order; empty when the
// clipboard cannot be opened or holds no (well-formed) file drop.
void ReadClipboardDropList(std::list<ByteString>& lstFiles) {
    const HWND hOwner = g_pFileMonitor != nullptr ? g_pFileMonitor->WindowHandle() : nullptr;
    if (!::OpenClipboard(hOwner)) return;
    try {
        if (::IsClipboardFormatAvailable(CF_HDROP)) {
            HANDLE hData = ::GetClipboardData(CF_HDROP);
            if (hData != nullptr && IsWellFormedDropList(hData)) {
                AppendDroppedFiles(static_cast<HDROP>(hData), lstFiles);
            }
        }
    } catch (...) {
        // Keep what was gathered; the clipboard is closed below either way.
    }
    ::CloseClipboard();
}

}  // namespace

bool SetLowIntegrityLabel(HANDLE hObject, SE_OBJECT_TYPE type) {
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLowIntegritySddl, SDDL_REVISION_1,
                                                                &pDescriptor, nullptr)) {
        return false;
    }
    bool bLabelled = false;
    BOOL bSaclPresent = FALSE;
    BOOL bSaclDefaulted = FALSE;
    PACL pSacl = nullptr;
    if (::GetSecurityDescriptorSacl(pDescriptor, &bSaclPresent, &pSacl, &bSaclDefaulted)) {
        bLabelled = ::SetSecurityInfo(hObject, type, kLabelSecurityInformation, nullptr, nullptr,
                                      nullptr, pSacl) == ERROR_SUCCESS;
    }
    ::LocalFree(pDescriptor);
    return bLabelled;
}

bool CreateClipboardBuffer() {
    ScopedLock lock(g_csClipBuffer);
    if (g_bClipBufferCreated) return true;

    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);  // everybody, full access
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;

    UniqueHandle hSection(::CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                               kClipBufferSize, kClipBufferName));
    if (!hSection) {
        WriteCreateFailure(::GetLastError());
        return false;
    }
    SetLowIntegrityLabel(hSection.Get(), SE_KERNEL_OBJECT);

    void* pView = ::MapViewOfFile(hSection.Get(), FILE_MAP_WRITE, 0, 0, 0);
    if (pView == nullptr) {
        const DWORD dwError = ::GetLastError();
        hSection.Reset();
        g_hClipBuffer = nullptr;
        WriteCreateFailure(dwError);
        return false;
    }
    g_hClipBuffer = hSection.Release();
    g_pClipBufferView = pView;
    g_bClipBufferCreated = true;
    return true;
}

void ReadClipboardBuffer(std::list<ByteString>& lstFiles) {
    lstFiles.clear();
    UniqueHandle hSection(::OpenFileMappingA(kSectionAllAccess, FALSE, kClipBufferName));
    if (!hSection) {
        WriteDebugOutput("nimbdaemon OpenFileMapping failed");
        return;
    }
    UniqueMappedView view(::MapViewOfFile(hSection.Get(), kSectionAllAccess, 0, 0, kClipBufferSize));
    if (!view) {
        WriteDebugOutput("nimbdaemon MapViewOfFile failed");
        return;
    }
    const size_t nReadable = ReadableLength(view.Get(), kClipBufferSize);
    if (nReadable == 0) return;
    SplitString(CopySectionText(view.Get(), nReadable), kClipBufferDelimiter, false, lstFiles);
}

void GetClipboardFiles(std::list<ByteString>& lstFiles) {
    lstFiles.clear();
    ReadClipboardBuffer(lstFiles);
    if (!lstFiles.empty()) return;
    ReadClipboardDropList(lstFiles);
}

void SplitString(const ByteString& strText, const ByteString& strDelimiter, bool bKeepEmpty,
                 std::list<ByteString>& lstOut) {
    lstOut.clear();
    if (strText.empty()) return;
    if (strDelimiter.empty()) {
        lstOut.push_back(strText);
        return;
    }
    size_t nStart = 0;
    for (;;) {
        const size_t nFound = strText.find(strDelimiter, nStart);
        if (nFound == ByteString::npos) break;
        if (nFound > nStart || bKeepEmpty) lstOut.push_back(strText.substr(nStart, nFound - nStart));
        nStart = nFound + strDelimiter.size();
    }
    if (nStart < strText.size()) lstOut.push_back(strText.substr(nStart));
}

}  // namespace tern
