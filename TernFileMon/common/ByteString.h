// The component's text type: 8-bit, NUL-terminated, growable. Paths from the
// file system are converted from UTF-16 by the decoder; all other paths are in
// the system's ANSI code page.
#ifndef TERNFILEMON_COMMON_BYTESTRING_H
#define TERNFILEMON_COMMON_BYTESTRING_H

#include <string>

namespace tern {

using ByteString = std::string;

// Byte-wise case-insensitive comparison (tolower on each byte): <0, 0 or >0.
int CompareNoCase(const ByteString& strLeft, const ByteString& strRight);
bool EqualsNoCase(const ByteString& strLeft, const ByteString& strRight);

// Apply the run-time library's tolower / toupper to each byte.
void MakeLowerInPlace(ByteString& str);
void MakeUpperInPlace(ByteString& str);

// printf-style formatting into a buffer of nBufferSize characters, cut to fit
// (the terminating zero included), as the component's fixed-size messages are.
ByteString FormatTruncated(size_t nBufferSize, const char* pszFormat, ...);

}  // namespace tern

#endif
