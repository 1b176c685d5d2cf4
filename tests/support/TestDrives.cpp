#include "TestDrives.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

namespace terntest {

std::string FixedDriveRoot() { return "D:\\"; }
std::string RemovableDriveRoot() { return "E:\\"; }
std::string CdromDriveRoot() { return "F:\\"; }

std::string MakeFreshFolder(const std::string& strRoot, const std::string& strPrefix) {
    static std::atomic<int> s_nNext{0};
    const std::string strPath = strRoot + strPrefix + "-" +
                                std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(::GetTickCount()) + "-" +
                                std::to_string(s_nNext++);
    EXPECT_TRUE(::CreateDirectoryA(strPath.c_str(), nullptr))
        << "cannot create " << strPath << ", error " << ::GetLastError();
    return strPath;
}

void RemoveTree(const std::string& strPath) {
    WIN32_FIND_DATAA data;
    HANDLE hFind = ::FindFirstFileA((strPath + "\\*").c_str(), &data);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            const std::string strName = data.cFileName;
            if (strName == "." || strName == "..") continue;
            const std::string strChild = strPath + "\\" + strName;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(strChild);
            } else {
                ::SetFileAttributesA(strChild.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(strChild.c_str());
            }
        } while (::FindNextFileA(hFind, &data));
        ::FindClose(hFind);
    }
    ::RemoveDirectoryA(strPath.c_str());
}

}  // namespace terntest
