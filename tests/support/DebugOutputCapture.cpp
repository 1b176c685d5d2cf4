#include "DebugOutputCapture.h"

#include <windows.h>

#include <mutex>

#include "../../TernFileMon/common/Win32Handles.h"

namespace terntest {

namespace {

#ifndef DBG_PRINTEXCEPTION_C
constexpr DWORD DBG_PRINTEXCEPTION_C = 0x40010006;
#endif

std::mutex g_mutex;
std::vector<std::string> g_lines;

LONG CALLBACK OnException(EXCEPTION_POINTERS* pInfo) {
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != DBG_PRINTEXCEPTION_C || pRecord->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const char* pszText = reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]);
    if (pszText != nullptr) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lines.emplace_back(pszText);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

DebugOutputCapture::DebugOutputCapture() {
    Clear();
    m_hHandler = ::AddVectoredExceptionHandler(1, OnException);
}

DebugOutputCapture::~DebugOutputCapture() {
    if (m_hHandler != nullptr) ::RemoveVectoredExceptionHandler(m_hHandler);
}

std::vector<std::string> DebugOutputCapture::Lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

size_t DebugOutputCapture::Count(const std::string& strText) const {
    size_t nCount = 0;
    for (const std::string& strLine : Lines()) {
        if (strLine.find(strText) != std::string::npos) ++nCount;
    }
    return nCount;
}

void DebugOutputCapture::Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

namespace {

// HKLM\SOFTWARE, open for writing values; null when it cannot be.
tern::UniqueRegKey OpenSoftwareKey() {
    HKEY hKey = nullptr;
    ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_SET_VALUE, &hKey);
    return tern::UniqueRegKey(hKey);
}

}  // namespace

bool SetAutoTestValue() {
    const tern::UniqueRegKey key = OpenSoftwareKey();
    const DWORD nValue = 1;
    return key && ::RegSetValueExA(key.Get(), "AutoTest", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nValue),
                                   sizeof(nValue)) == ERROR_SUCCESS;
}

bool DeleteAutoTestValue() {
    const tern::UniqueRegKey key = OpenSoftwareKey();
    const LONG nResult = key ? ::RegDeleteValueA(key.Get(), "AutoTest") : ERROR_ACCESS_DENIED;
    return nResult == ERROR_SUCCESS || nResult == ERROR_FILE_NOT_FOUND;
}

}  // namespace terntest
