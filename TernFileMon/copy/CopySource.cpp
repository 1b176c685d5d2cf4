#include "CopySource.h"

#include <cstring>
#include <list>

#include "../common/DebugOutput.h"
#include "ClipboardBuffer.h"
#include "CopyKeyMarkers.h"

namespace tern {

namespace {

constexpr DWORD kPathBufferSize = MAX_PATH;  // 260

// The text before the last backslash; empty when there is none.
ByteString CutAtLastBackslash(const ByteString& strPath) {
    const size_t nSlash = strPath.rfind('\\');
    return nSlash == ByteString::npos ? ByteString() : strPath.substr(0, nSlash);
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

// The executable's path does not change while the process runs. Read once
// under CopyDetectionLock() (a function-local static's guard would make the
// threading runtime adopt the calling thread for good, once per load).
ByteString g_strCopyIniPath;
bool g_bCopyIniPathRead = false;

const ByteString& CachedCopyIniPath() {
    if (!g_bCopyIniPathRead) {
        g_strCopyIniPath = GetCopyIniPath();
        g_bCopyIniPathRead = true;
    }
    return g_strCopyIniPath;
}

// Caches of copy detection, guarded by CopyDetectionLock(). The user-temp
// lookup guards its own state (its retry thread does not take that lock).
CCopyKeyMarkers g_markers;
CUserTempLookup g_userTempLookup;

// The markers, brought up to date at most once per lookup: the first
// candidate that needs them checks the INI files, later ones reuse the answer.
class MarkersOfOneLookup {
public:
    const CCopyKeyMarkers& Get() {
        if (!m_bFresh) {
            g_markers.Refresh(CachedCopyIniPath());
            m_bFresh = true;
        }
        return g_markers;
    }

private:
    bool m_bFresh = false;
};

bool ContainsCopyMarker(const ByteString& strNewName, MarkersOfOneLookup& markers) {
    if (CachedCopyIniPath().empty()) return false;
    const CCopyKeyMarkers& current = markers.Get();
    if (!current.IsValid()) {
        WriteDebugLine("CopyFileKey.ini is broken");
        return false;
    }
    for (const ByteString& strMarker : current.Markers()) {
        if (strNewName.find(strMarker) != ByteString::npos) return true;
    }
    return false;
}

bool IsCopyNameWith(const ByteString& strCopiedName, const ByteString& strNewName,
                    MarkersOfOneLookup& markers) {
    if (strCopiedName.empty() || strNewName.empty()) return false;
    const size_t nDot = strCopiedName.rfind('.');
    const ByteString strBase =
        nDot != ByteString::npos && nDot >= 1 ? strCopiedName.substr(0, nDot) : strCopiedName;
    if (strNewName.find(strBase) != ByteString::npos) return ContainsCopyMarker(strNewName, markers);
    return IsNumberedCopyName(strCopiedName, strNewName);
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
    const ByteString strOverride = CopyIniOverridePath(strIniPath);
    if (!strOverride.empty() && FileExists(strOverride) &&
        ReadIniString(strOverride, strSection, strKey, strValue)) {
        return true;
    }
    return ReadIniString(strIniPath, strSection, strKey, strValue);
}

void BeginUserTempLookupUse() { g_userTempLookup.BeginUse(); }
bool EndUserTempLookupUse() { return g_userTempLookup.EndUse(); }

bool IsCopyName(const ByteString& strCopiedName, const ByteString& strNewName) {
    ScopedLock lock(CopyDetectionLock());
    MarkersOfOneLookup markers;
    return IsCopyNameWith(strCopiedName, strNewName, markers);
}

ByteString FindCopySource(const ByteString& strNewPath, ByteString& strUserTempPath) {
    return FindCopySource(strNewPath, strUserTempPath, ::GetTickCount64());
}

ByteString FindCopySource(const ByteString& strNewPath, ByteString& strUserTempPath, ULONGLONG nNowMs) {
    ScopedLock lock(CopyDetectionLock());
    g_userTempLookup.Fill(strUserTempPath, nNowMs);
    if (!strUserTempPath.empty() && strNewPath.find(strUserTempPath) != ByteString::npos) {
        WriteDebugLine("m_strTempPath is  empty");
        return ByteString();
    }
    const CCopiedFileList& files = CurrentClipboardFiles();
    if (files.IsEmpty()) {
        WriteDebugLine("lstFiles is empty");
        return ByteString();
    }
    ByteString strNewDirectory;
    ByteString strNewName;
    CCopiedFileList::SplitDirectoryAndName(strNewPath, strNewDirectory, strNewName);
    MarkersOfOneLookup markers;
    return files.FindSource(strNewDirectory, strNewName,
                            [&markers](const ByteString& strCopiedName, const ByteString& strName) {
                                return IsCopyNameWith(strCopiedName, strName, markers);
                            });
}

}  // namespace tern
