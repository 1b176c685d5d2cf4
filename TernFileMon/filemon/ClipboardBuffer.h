// The list of files the user has copied: the shared section
// "Global\Nimb_Clipbrd_Buffer", which another process of the client fills, and
// the clipboard's file-drop list as the fallback.
//
// Section layout: one zero-terminated ANSI string at offset 0, full paths
// separated by '|'. Any process, low-integrity ones included, may write it, so
// the reader treats its contents as hostile: it never reads past the section's
// readable pages, with or without a terminating zero.
#ifndef TERNFILEMON_FILEMON_CLIPBOARDBUFFER_H
#define TERNFILEMON_FILEMON_CLIPBOARDBUFFER_H

#include <windows.h>

#include <aclapi.h>

#include <list>

#include "../common/ByteString.h"

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

// Replaces lstOut with the pieces of strText between occurrences of
// strDelimiter. Empty pieces are kept only when bKeepEmpty is set, and never
// the one after the last delimiter. An empty delimiter gives the whole text.
void SplitString(const ByteString& strText, const ByteString& strDelimiter, bool bKeepEmpty,
                 std::list<ByteString>& lstOut);

// The section this module created: handle and view stay open while the
// component is loaded (the component itself reads the list through views of
// its own and never writes it).
extern bool g_bClipBufferCreated;
extern HANDLE g_hClipBuffer;
extern void* g_pClipBufferView;

}  // namespace tern

#endif
