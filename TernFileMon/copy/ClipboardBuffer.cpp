#include "ClipboardBuffer.h"

#include <sddl.h>

#include "../common/DebugOutput.h"
#include "../filemon/FileMonitor.h"
#include "DropListReader.h"
#include "SectionListReader.h"

namespace tern {

bool g_bClipBufferCreated = false;
UniqueHandle g_hClipBuffer;
UniqueMappedView g_pClipBufferView;

namespace {

// Two roots can be attached at once (host thread and window thread): only one
// of them may create the section, or a handle and a view would leak.
CriticalSection g_csClipBuffer;

constexpr wchar_t kLowIntegritySddl[] = L"S:(ML;;NW;;;LW)";
constexpr SECURITY_INFORMATION kLabelSecurityInformation = 0x10;  // LABEL_SECURITY_INFORMATION

void WriteCreateFailure(DWORD dwError) {
    WriteDebugLine(FormatTruncated(128, "CreateFileMapping failed,error code is %d",
                                   static_cast<int>(dwError)).c_str());
}

CSectionListReader g_sectionReader;
CDropListReader g_dropReader;

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

    UniqueMappedView view(::MapViewOfFile(hSection.Get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!view) {
        const DWORD dwError = ::GetLastError();
        hSection.Reset();
        g_hClipBuffer.Reset();
        WriteCreateFailure(dwError);
        return false;
    }
    g_hClipBuffer = std::move(hSection);
    g_pClipBufferView = std::move(view);
    g_bClipBufferCreated = true;
    return true;
}

namespace {
// At namespace scope: a function-local static's initialisation guard makes the
// threading runtime adopt the first thread that reaches it, once per load.
CriticalSection g_csCopyDetection;
}  // namespace

CriticalSection& CopyDetectionLock() { return g_csCopyDetection; }

const CCopiedFileList& CurrentClipboardFiles() {
    const CCopiedFileList& section = g_sectionReader.Read();
    if (!section.IsEmpty()) return section;
    const HWND hOwner = g_pFileMonitor != nullptr ? g_pFileMonitor->WindowHandle() : nullptr;
    return g_dropReader.Read(hOwner);
}

void ReadClipboardBuffer(std::list<ByteString>& lstFiles) {
    ScopedLock lock(CopyDetectionLock());
    g_sectionReader.Read().CopyTo(lstFiles);
}

void GetClipboardFiles(std::list<ByteString>& lstFiles) {
    ScopedLock lock(CopyDetectionLock());
    CurrentClipboardFiles().CopyTo(lstFiles);
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
