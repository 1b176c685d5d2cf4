#include "TraceSession.h"

#include <windows.h>

#include <atomic>

#include "ReportPrinter.h"
#include "Win32Handles.h"

namespace tern {

namespace {

constexpr DWORD DEBUG_PRINT_EXCEPTION = 0x40010006;  // DBG_PRINTEXCEPTION_C
constexpr const char* TRACE_KEY = "SOFTWARE";
constexpr const char* TRACE_VALUE = "AutoTest";

std::atomic<ReportPrinter*> g_pTracePrinter{nullptr};

LONG CALLBACK OnDebugOutput(EXCEPTION_POINTERS* pInfo) {
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != DEBUG_PRINT_EXCEPTION || pRecord->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ReportPrinter* pPrinter = g_pTracePrinter.load();
    const char* pszText = reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]);
    if (pPrinter != nullptr && pszText != nullptr) pPrinter->PrintTrace(pszText);
    return EXCEPTION_CONTINUE_EXECUTION;
}

UniqueRegKey OpenTraceKey(REGSAM nAccess) {
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, TRACE_KEY, 0, nAccess, &hKey) != ERROR_SUCCESS) {
        return UniqueRegKey();
    }
    return UniqueRegKey(hKey);
}

}  // namespace

bool TraceSwitch::IsValuePresent() {
    UniqueRegKey hKey = OpenTraceKey(KEY_READ);
    return hKey && ::RegQueryValueExA(hKey.Get(), TRACE_VALUE, nullptr, nullptr, nullptr,
                                      nullptr) == ERROR_SUCCESS;
}

bool TraceSwitch::TurnOn(std::string& strError) {
    if (IsValuePresent()) return true;
    UniqueRegKey hKey = OpenTraceKey(KEY_SET_VALUE);
    const DWORD nValue = 1;
    const LONG nResult =
        hKey ? ::RegSetValueExA(hKey.Get(), TRACE_VALUE, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&nValue), sizeof(nValue))
             : static_cast<LONG>(ERROR_ACCESS_DENIED);
    if (nResult != ERROR_SUCCESS) {
        strError = "cannot create HKEY_LOCAL_MACHINE\\SOFTWARE\\AutoTest (error " +
                   std::to_string(nResult) + "); run as administrator for --trace";
        return false;
    }
    m_bCreated = true;
    return true;
}

void TraceSwitch::Restore() {
    if (!m_bCreated) return;
    m_bCreated = false;
    UniqueRegKey hKey = OpenTraceKey(KEY_SET_VALUE);
    if (hKey) ::RegDeleteValueA(hKey.Get(), TRACE_VALUE);
}

DebugOutputReader::DebugOutputReader(ReportPrinter& printer) {
    g_pTracePrinter.store(&printer);
    m_hHandler = ::AddVectoredExceptionHandler(1, OnDebugOutput);
}

DebugOutputReader::~DebugOutputReader() {
    if (m_hHandler != nullptr) ::RemoveVectoredExceptionHandler(m_hHandler);
    g_pTracePrinter.store(nullptr);
}

bool TraceSession::Start(std::string& strError) {
    if (!m_switch.TurnOn(strError)) return false;
    m_pReader.reset(new DebugOutputReader(m_printer));
    return true;
}

}  // namespace tern
