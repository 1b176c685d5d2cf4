#include "RecordingHandler.h"

#include <cstring>

#include "../../TernFileMon/DirectoryChanges/DeliveryBatch.h"


namespace terntest {

bool RecordingHandler::AcceptNotification(DWORD, const char* pszName, const char*) {
    ++m_nAcceptCalls;
    if (m_strRejectSuffix.empty() || pszName == nullptr) return true;
    const size_t nLength = std::strlen(pszName);
    return nLength < m_strRejectSuffix.size() ||
           std::strcmp(pszName + nLength - m_strRejectSuffix.size(), m_strRejectSuffix.c_str()) != 0;
}

void RecordingHandler::Record(const char* pszKind, const std::string& strName, const std::string& strNew,
                              DWORD dwError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back({pszKind, strName, strNew, dwError, ::GetCurrentThreadId(), tern::CurrentDeliveryBatch()});
}

size_t RecordingHandler::Count(const std::string& strKind, const std::string& strNamePart) const {
    size_t nCount = 0;
    for (const HandlerCall& call : Calls()) {
        if (call.strKind == strKind && call.strName.find(strNamePart) != std::string::npos) ++nCount;
    }
    return nCount;
}

bool RecordingHandler::WaitForCount(const std::string& strKind, const std::string& strNamePart, size_t nCount,
                                    DWORD nTimeoutMs) const {
    return WaitUntil([&] { return Count(strKind, strNamePart) >= nCount; }, nTimeoutMs);
}

std::vector<std::string> RecordingHandler::Lines() const {
    std::vector<std::string> vecLines;
    for (const HandlerCall& call : Calls()) {
        vecLines.push_back(call.strKind + " " + call.strName + (call.strNewName.empty() ? "" : " > " + call.strNewName));
    }
    return vecLines;
}

}  // namespace terntest
