#include "CopySource.h"

#include <windows.h>

#include <userenv.h>

#include <cstring>
#include <list>

#include "../common/Win32Handles.h"
#include "ClipboardBuffer.h"
#include "SystemUtil.h"

namespace tern {

namespace {

constexpr DWORD kPathBufferSize = MAX_PATH;  // 260
constexpr char kUserEnvironmentKey[] = "Environment";
constexpr char kTempValueName[] = "TEMP";

// The text before the last backslash; empty when there is none.
ByteString CutAtLastBackslash(const ByteString& strPath) {
    const size_t nSlash = strPath.rfind('\\');
    return nSlash == ByteString::npos ? ByteString() : strPath.substr(0, nSlash);
}

// Splits a path at its last backslash into directory and name; both empty
// when that backslash is missing or is the first character.
void SplitDirectoryAndName(const ByteString& strPath, ByteString& strDirectory, ByteString& strName) {
    const size_t nSlash = strPath.rfind('\\');
    if (nSlash == ByteString::npos || nSlash < 1) {
        strDirectory.clear();
        strName.clear();
        return;
    }
    strDirectory = strPath.substr(0, nSlash);
    strName = strPath.substr(nSlash + 1);
}

bool StartsWith(const ByteString& strText, const char* pszPrefix) {
    return strText.compare(0, std::strlen(pszPrefix), pszPrefix) == 0;
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Drops the digits of strName from nFirst up to (not including) nEnd; the end
// moves with every digit taken out, and the trimming stops at the name's end.
void DropDigits(ByteString& strName, long long nFirst, long long nEnd) {
    long long i = nFirst;
    while (i < nEnd && i >= 0 && i < static_cast<long long>(strName.size())) {
        if (IsDigit(strName[static_cast<size_t>(i)])) {
            strName.erase(static_cast<size_t>(i), 1);
        } else {
            ++i;
        }
    }
}

long long PositionOf(const ByteString& strText, char ch) {
    const size_t nPos = strText.find(ch);
    return nPos == ByteString::npos ? -1 : static_cast<long long>(nPos);
}

// "Copy of (2) x.txt" and "Copy of (3) x.txt": the same file once the digits
// between the parentheses are gone. Each name's parentheses bound the trimming
// of the other one.
bool IsNumberedCopyName(const ByteString& strCopiedName, const ByteString& strNewName) {
    ByteString strCopied = strCopiedName;
    ByteString strNew = strNewName;
    const bool bBothChinese =
        StartsWith(strCopiedName, kChineseCopyPrefix) && StartsWith(strNewName, kChineseCopyPrefix);
    const bool bBothCopyOf =
        StartsWith(strCopiedName, kCopyOfPrefix) && StartsWith(strNewName, kCopyOfPrefix);
    if (bBothChinese || bBothCopyOf) {
        const long long nCopiedOpen = PositionOf(strCopiedName, '(');
        const long long nCopiedClose = PositionOf(strCopiedName, ')');
        const long long nNewOpen = PositionOf(strNewName, '(');
        const long long nNewClose = PositionOf(strNewName, ')');
        DropDigits(strNew, nCopiedOpen + 1, nCopiedClose);
        DropDigits(strCopied, nNewOpen + 1, nNewClose);
    }
    return EqualsNoCase(strNew, strCopied);
}

// The configured markers: "CopyKeyValue", then "CopykeyAdd" when present.
// False (and the file reported broken) when "CopyKeyValue" is missing.
bool ReadCopyMarkers(std::list<ByteString>& lstMarkers) {
    lstMarkers.clear();
    const ByteString strIniPath = GetCopyIniPath();
    if (strIniPath.empty()) return false;
    ByteString strMarkers;
    if (!GetCopyIniValue(strIniPath, kCopyIniSection, kCopyIniKey, strMarkers)) {
        ::OutputDebugStringA("CopyFileKey.ini is broken");
        return false;
    }
    ByteString strMore;
    if (GetCopyIniValue(strIniPath, kCopyIniSection, kCopyIniAddKey, strMore)) {
        strMarkers += kCopyMarkerDelimiter;
        strMarkers += strMore;
    }
    SplitString(strMarkers, kCopyMarkerDelimiter, true, lstMarkers);
    return true;
}

bool ContainsCopyMarker(const ByteString& strNewName) {
    std::list<ByteString> lstMarkers;
    if (!ReadCopyMarkers(lstMarkers)) return false;
    for (const ByteString& strMarker : lstMarkers) {
        if (strNewName.find(strMarker) != ByteString::npos) return true;
    }
    return false;
}

bool FileExists(const ByteString& strPath) {
    const DWORD dwAttributes = ::GetFileAttributesA(strPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ReadIniString(const ByteString& strIniPath, const ByteString& strSection,
                   const ByteString& strKey, ByteString& strValue) {
    char szValue[kPathBufferSize] = {};
    ::GetPrivateProfileStringA(strSection.c_str(), strKey.c_str(), "", szValue, kPathBufferSize,
                               strIniPath.c_str());
    szValue[kPathBufferSize - 1] = '\0';
    strValue = szValue;
    return !strValue.empty();
}

// The raw "TEMP" of the impersonated user, expanded in that user's environment.
ByteString ExpandUserTemp(HANDLE hToken) {
    DWORD dwSize = kPathBufferSize;
    ByteString strRawTemp;
    QueryRegKeyValue(HKEY_CURRENT_USER, kUserEnvironmentKey, kTempValueName, dwSize, strRawTemp,
                     REG_VIEW_64);
    char szExpanded[kPathBufferSize] = {};
    if (!::ExpandEnvironmentStringsForUserA(hToken, strRawTemp.c_str(), szExpanded, kPathBufferSize)) {
        return ByteString();
    }
    szExpanded[kPathBufferSize - 1] = '\0';
    return szExpanded;
}

}  // namespace

ByteString GetCopyIniPath() {
    char szModule[kPathBufferSize] = {};
    const DWORD dwLength = ::GetModuleFileNameA(nullptr, szModule, kPathBufferSize);
    if (dwLength == 0 || dwLength >= kPathBufferSize) return ByteString();
    return CutAtLastBackslash(CutAtLastBackslash(szModule)) + kCopyIniTail;
}

bool GetCopyIniValue(const ByteString& strIniPath, const ByteString& strSection,
                     const ByteString& strKey, ByteString& strValue) {
    strValue.clear();
    const size_t nDot = strIniPath.rfind('.');
    if (nDot != ByteString::npos) {
        const ByteString strOverride = strIniPath.substr(0, nDot) + kCopyIniOverrideTail;
        if (FileExists(strOverride) && ReadIniString(strOverride, strSection, strKey, strValue)) {
            return true;
        }
    }
    return ReadIniString(strIniPath, strSection, strKey, strValue);
}

bool IsCopyName(const ByteString& strCopiedName, const ByteString& strNewName) {
    if (strCopiedName.empty() || strNewName.empty()) return false;
    const size_t nDot = strCopiedName.rfind('.');
    const ByteString strBase =
        nDot != ByteString::npos && nDot >= 1 ? strCopiedName.substr(0, nDot) : strCopiedName;
    if (strNewName.find(strBase) != ByteString::npos) return ContainsCopyMarker(strNewName);
    return IsNumberedCopyName(strCopiedName, strNewName);
}

ByteString GetUserTempPath() {
    HANDLE hRawToken = nullptr;
    DWORD dwSessionId = 0;
    if (!UtilSucceeded(GetTokenByName(kUserTokenProcess, hRawToken, dwSessionId))) return ByteString();
    UniqueHandle hToken(hRawToken);
    if (!::ImpersonateLoggedOnUser(hToken.Get())) return ByteString();
    ByteString strTemp;
    try {
        strTemp = ExpandUserTemp(hToken.Get());
    } catch (...) {
        strTemp.clear();
    }
    ::RevertToSelf();
    return strTemp;
}

ByteString FindCopySource(const ByteString& strNewPath, ByteString& strUserTempPath) {
    if (strUserTempPath.empty()) strUserTempPath = GetUserTempPath();
    if (!strUserTempPath.empty() && strNewPath.find(strUserTempPath) != ByteString::npos) {
        ::OutputDebugStringA("m_strTempPath is  empty");
        return ByteString();
    }
    std::list<ByteString> lstFiles;
    GetClipboardFiles(lstFiles);
    if (lstFiles.empty()) {
        ::OutputDebugStringA("lstFiles is empty");
        return ByteString();
    }
    ByteString strNewDirectory;
    ByteString strNewName;
    SplitDirectoryAndName(strNewPath, strNewDirectory, strNewName);
    if (strNewName.empty()) return ByteString();

    for (const ByteString& strEntry : lstFiles) {
        ByteString strDirectory;
        ByteString strName;
        SplitDirectoryAndName(strEntry, strDirectory, strName);
        if (EqualsNoCase(strName, strNewName)) return strEntry;
        if (EqualsNoCase(strDirectory, strNewDirectory) && IsCopyName(strName, strNewName)) {
            return strEntry;
        }
    }
    return ByteString();
}

}  // namespace tern
