// The list of files the user has copied: the shared section
// "Global\Nimb_Clipbrd_Buffer", which another process of the client fills, and
// the clipboard's file-drop list as the fallback.
//
// Section layout: one zero-terminated ANSI string at offset 0, full paths
// separated by '|'. Any process, low-integrity ones included, may write it, so
// the reader treats its contents as hostile: it never reads past the section's
// readable pages, with or without a terminating zero.
#ifndef TERNFILEMON_COPY_CLIPBOARDBUFFER_H
#define TERNFILEMON_COPY_CLIPBOARDBUFFER_H

#include <windows.h>

#include <aclapi.h>

#include <list>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"
#include "../common/Win32Handles.h"
#include "CopiedFileList.h"

namespace tern {

constexpr char kClipBufferName[] = "Global\\Nimb_Clipbrd_Buffer";
constexpr DWORD kClipBufferSize = 0x104000;  // 4096 paths of 260 bytes
constexpr char kClipBufferDelimiter[] = "|";

// Creates (or opens) the section with a null DACL, an inheritable handle and
// the low mandatory label, and keeps it mapped until the process ends. Done
// once per process; a failed attempt is retried by the next call.
bool CreateClipboardBuffer();

// Gives the object the low integrity label with no-write-up; true when set.
bool SetLowIntegrityLabel(HANDLE hObject, SE_OBJECT_TYPE type);

// Replaces lstFiles with the non-empty pieces of the section's text; empty
// when the section is absent, unreadable or holds no list.
void ReadClipboardBuffer(std::list<ByteString>& lstFiles);

// The section's list when it holds at least one path, else the clipboard's
// file-drop list (opened with the file monitor's hidden window when there is one).
void GetClipboardFiles(std::list<ByteString>& lstFiles);

// Copy detection keeps its readers and what they parsed last (the section's
// list, the clipboard's list, the copy-name markers, the failed lookup of the
// user's temporary folder) under this one lock; the notification thread is
// its only user outside tests. It is taken by each public entry point of copy
// detection and by nothing else, so it is never held while another lock of the
// component is taken (a thread may take it again while holding it).
CriticalSection& CopyDetectionLock();

// The list GetClipboardFiles gives, as kept by its readers: parsed again only
// when the section's text or the clipboard's sequence number has changed.
// The caller holds CopyDetectionLock() while it uses the list.
const CCopiedFileList& CurrentClipboardFiles();

// Replaces lstOut with the pieces of strText between occurrences of
// strDelimiter. Empty pieces are kept only when bKeepEmpty is set, and never
// the one after the last delimiter. An empty delimiter gives the whole text.
void SplitString(const ByteString& strText, const ByteString& strDelimiter, bool bKeepEmpty,
                 std::list<ByteString>& lstOut);

// The section this module created: handle and view stay open while the
// component is loaded (the component itself reads the list through a view of
// its own and never writes it).
extern bool g_bClipBufferCreated;
extern UniqueHandle g_hClipBuffer;
extern UniqueMappedView g_pClipBufferView;

}  // namespace tern

#endif
