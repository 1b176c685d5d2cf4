#include "EngineTestUtil.h"

#include <cstdint>

#include "../../TernFileMon/common/ByteString.h"

namespace terntest {

bool WriteTextFile(const std::string& strPath, const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    DWORD nWritten = 0;
    const BOOL bOk =
        ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &nWritten, nullptr);
    ::CloseHandle(hFile);
    return bOk && nWritten == strText.size();
}

bool CloseDirectoryHandleBehindTheWatch(const std::string& strDirectory) {
    for (std::uintptr_t nValue = 4; nValue < 0x10000; nValue += 4) {
        const HANDLE hCandidate = reinterpret_cast<HANDLE>(nValue);
        DWORD dwFlags = 0;
        if (!::GetHandleInformation(hCandidate, &dwFlags)) continue;
        if (::GetFileType(hCandidate) != FILE_TYPE_DISK) continue;
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
