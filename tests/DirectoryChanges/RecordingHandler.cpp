#include "RecordingHandler.h"

#include <cstdint>
#include <cstring>

#include "../../TernFileMon/common/ByteString.h"

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
    m_calls.push_back({pszKind, strName, strNew, dwError, ::GetCurrentThreadId()});
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

bool CloseDirectoryHandleBehindTheWatch(const std::string& strDirectory) {
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        const HANDLE hCandidate = reinterpret_cast<HANDLE>(nValue);
        DWORD dwFlags = 0;
        if (!::GetHandleInformation(hCandidate, &dwFlags) || ::GetFileType(hCandidate) != FILE_TYPE_DISK) continue;
        char szPath[MAX_PATH * 2] = {};
        const DWORD nLength = ::GetFinalPathNameByHandleA(hCandidate, szPath, sizeof(szPath),
                                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (nLength == 0 || nLength >= sizeof(szPath)) continue;
        std::string strPath = szPath;
        if (strPath.rfind("\\\\?\\", 0) == 0) strPath = strPath.substr(4);
        if (tern::EqualsNoCase(strPath, strDirectory)) return ::CloseHandle(hCandidate) != FALSE;
    }
    return false;
}

}  // namespace terntest
