#include "RecordingHandler.h"

#include <cstring>

namespace terntest {

std::atomic<int> RecordingHandler::s_nDestroyed{0};

bool RecordingHandler::EndsWith(const char* psz, const std::string& strSuffix) {
    if (psz == nullptr) return false;
    const size_t nLength = std::strlen(psz);
    return nLength >= strSuffix.size() &&
           std::strcmp(psz + nLength - strSuffix.size(), strSuffix.c_str()) == 0;
}

void RecordingHandler::Record(const char* pszKind, const std::string& strName,
                              const std::string& strNew, DWORD dwError) {
    HandlerCall call;
    call.strKind = pszKind;
    call.strName = strName;
    call.strNewName = strNew;
    call.dwError = dwError;
    call.dwThreadId = ::GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
}

size_t RecordingHandler::Count(const std::string& strKind, const std::string& strNamePart) const {
    size_t nCount = 0;
    for (const HandlerCall& call : Calls()) {
        if (call.strKind == strKind && call.strName.find(strNamePart) != std::string::npos) {
            ++nCount;
        }
    }
    return nCount;
}

bool RecordingHandler::WaitUntil(
    const std::function<bool(const std::vector<HandlerCall>&)>& pred, DWORD nTimeoutMs) const {
    const ULONGLONG nEnd = ::GetTickCount64() + nTimeoutMs;
    for (;;) {
        if (pred(Calls())) return true;
        if (::GetTickCount64() >= nEnd) return false;
        ::Sleep(10);
    }
}

bool RecordingHandler::WaitForCount(const std::string& strKind, const std::string& strNamePart,
                                    size_t nCount, DWORD nTimeoutMs) const {
    return WaitUntil(
        [&](const std::vector<HandlerCall>&) { return Count(strKind, strNamePart) >= nCount; },
        nTimeoutMs);
}

bool RecordingHandler::Has(const std::string& strKind, const std::string& strName,
                           const std::string& strNewName) const {
    for (const HandlerCall& call : Calls()) {
        if (call.strKind == strKind && call.strName == strName && call.strNewName == strNewName) {
            return true;
        }
    }
    return false;
}

}  // namespace terntest
