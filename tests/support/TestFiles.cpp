#include "TestFiles.h"

#include <windows.h>

namespace terntest {

namespace {

bool WriteAll(const std::string& strPath, DWORD dwAccess, DWORD dwDisposition,
              const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), dwAccess, 0, nullptr, dwDisposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    DWORD dwWritten = 0;
    const BOOL bOk =
        ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &dwWritten, nullptr);
    ::CloseHandle(hFile);
    return bOk && dwWritten == strText.size();
}

}  // namespace

bool WriteTextFile(const std::string& strPath, const std::string& strText) {
    return WriteAll(strPath, GENERIC_WRITE, CREATE_ALWAYS, strText);
}

bool AppendTextFile(const std::string& strPath, const std::string& strText) {
    return WriteAll(strPath, FILE_APPEND_DATA, OPEN_EXISTING, strText);
}

}  // namespace terntest
