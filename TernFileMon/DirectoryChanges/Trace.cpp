#include "Trace.h"

#include <windows.h>

#include <string>

#include "../common/ByteString.h"
#include "../common/DebugOutput.h"
#include "../common/Win32Handles.h"

namespace tern {

namespace {

bool IsTraceEnabled() {
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return false;
    }
    UniqueRegKey key(hKey);
    if (!key) return false;
    return ::RegQueryValueExA(key.Get(), "AutoTest", nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

ByteString LocalTimeStamp() {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    return FormatTruncated(32, "%04d-%02d-%02d %02d:%02d:%02d:%03d", now.wYear, now.wMonth,
                           now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

}  // namespace

void WriteTrace(const char* pszMessage, int nLine, const char* pszSource) {
    try {
        if (!IsTraceEnabled()) return;
        ByteString strLine = LocalTimeStamp();
        strLine += " [TernFileMon] ";
        strLine += pszMessage != nullptr ? pszMessage : "";
        strLine += " [line]:";
        strLine += std::to_string(nLine);
        strLine += " [source]:";
        strLine += pszSource != nullptr ? pszSource : "";
        strLine += "\r\n";
        WriteDebugLine(strLine.c_str());
    } catch (...) {
        // A trace that cannot be built is dropped (tracing never fails its
        // caller, destructors included), and that much is said.
        ::OutputDebugStringA("[TernFileMon] trace line dropped: exception while building it\r\n");
    }
}

}  // namespace tern
