// The two operations of the client's utility library that copy detection
// uses, built on Win32. Results follow that library's convention: a result
// with any of its top four bits set is a failure, anything else a success.
#ifndef TERNFILEMON_COPY_SYSTEMUTIL_H
#define TERNFILEMON_COPY_SYSTEMUTIL_H

#include <windows.h>

#include "../common/ByteString.h"

namespace tern {

constexpr DWORD UTIL_OK = 0;
// Failures carry the Win32 error code in the low bits.
constexpr DWORD UTIL_FAILURE_BITS = 0xF0000000;
constexpr DWORD UTIL_ERROR_BASE = 0xE0000000;

inline bool UtilSucceeded(DWORD dwResult) { return (dwResult & UTIL_FAILURE_BITS) == 0; }
inline DWORD UtilError(DWORD dwWin32Error) {
    return UTIL_ERROR_BASE | (dwWin32Error & ~UTIL_FAILURE_BITS);
}

// Registry views for QueryRegKeyValue.
constexpr int REG_VIEW_DEFAULT = 0;
constexpr int REG_VIEW_64 = 1;  // the native view of 64-bit Windows; ignored on 32-bit Windows
constexpr int REG_VIEW_32 = 2;

// Opens the token of a process named strProcessName (case-insensitive), one of
// the active console session when there is such a process. hToken (query,
// duplicate, impersonate) belongs to the caller, who closes it; dwSessionId is
// the process's session.
DWORD GetTokenByName(const ByteString& strProcessName, HANDLE& hToken, DWORD& dwSessionId);

// Reads a string value raw (environment references are not expanded). dwSize
// is in: the most bytes accepted; out: the bytes the value takes. With
// hRoot == HKEY_CURRENT_USER the hive of the impersonated user is read when
// the calling thread impersonates one.
DWORD QueryRegKeyValue(HKEY hRoot, const ByteString& strSubKey, const ByteString& strValueName,
                       DWORD& dwSize, ByteString& strValue, int nView);

}  // namespace tern

#endif
