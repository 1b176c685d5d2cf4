#include "TestFiles.h"

#include <windows.h>

namespace terntest {

bool WriteTextFile(const std::string& strPath, const std::string& strText) {
    HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    DWORD dwWritten = 0;
    const BOOL bOk =
        ::WriteFile(hFile, strText.data(), static_cast<DWORD>(strText.size()), &dwWritten, nullptr);
    ::CloseHandle(hFile);
    return bOk && dwWritten == strText.size();
}

}  // namespace terntest
