// Copy detection: is a newly added file a paste of a file the user copied,
// and of which one.
#ifndef TERNFILEMON_COPY_COPYSOURCE_H
#define TERNFILEMON_COPY_COPYSOURCE_H

#include <windows.h>

#include "../common/ByteString.h"
#include "UserTempLookup.h"

namespace tern {

// The copy-name markers, in the INI file "\bin\CopyFileKey.ini" above the
// host executable's folder (with a "_cust.ini" override beside it).
constexpr char kCopyIniTail[] = "\\bin\\CopyFileKey.ini";
constexpr char kCopyIniOverrideTail[] = "_cust.ini";
constexpr char kCopyIniSection[] = "KeyNameOfCopyFile";
constexpr char kCopyIniKey[] = "CopyKeyValue";
constexpr char kCopyIniAddKey[] = "CopykeyAdd";
constexpr char kCopyMarkerDelimiter[] = "||";

// Numbered copies: "Copy of (N) name" and the same with the Chinese word for
// "copy" (code page 936) before " (".
constexpr char kCopyOfPrefix[] = "Copy of (";
constexpr char kChineseCopyPrefix[] = "\xB8\xB4\xBC\xFE\x20\x28";

// The process that lends the interactive user's token.
constexpr char kUserTokenProcess[] = "ZUVOVE.exe";

// The full path of the copied file strNewPath was pasted from, or empty.
// strUserTempPath is the cached temporary directory of the interactive user:
// filled by the call while empty (see CUserTempLookup for how often a failed
// lookup is repeated; nNowMs is the tick count that bound is measured on);
// files below it are never copies.
ByteString FindCopySource(const ByteString& strNewPath, ByteString& strUserTempPath);
ByteString FindCopySource(const ByteString& strNewPath, ByteString& strUserTempPath, ULONGLONG nNowMs);

// A component object's use of the user-temp lookup that FindCopySource keeps,
// for the object's life: while there is one, retries of a failed lookup run on
// the lookup's own thread (see CUserTempLookup), which the last use ends.
void BeginUserTempLookupUse();
bool EndUserTempLookupUse();
using CUserTempLookupUse = CLibraryServiceUse<&BeginUserTempLookupUse, &EndUserTempLookupUse>;

// Whether strNewName (a name without directory) has the shape of a copy of
// strCopiedName in the same directory: through the configured markers or a
// numbered prefix.
bool IsCopyName(const ByteString& strCopiedName, const ByteString& strNewName);

// Reads a key from the INI file's "_cust.ini" override when that file exists
// and has a non-empty value, else from the file itself. True when a non-empty
// value was found; strValue is empty otherwise.
bool GetCopyIniValue(const ByteString& strIniPath, const ByteString& strSection,
                     const ByteString& strKey, ByteString& strValue);

// The path of CopyFileKey.ini for this process's executable, or empty when the
// executable's path cannot be had.
ByteString GetCopyIniPath();

}  // namespace tern

#endif
