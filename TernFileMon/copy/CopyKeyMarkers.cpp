#include "CopyKeyMarkers.h"

#include <cstring>

#include "ClipboardBuffer.h"
#include "CopySource.h"

namespace tern {

bool CCopyKeyMarkers::FileStamp::operator==(const FileStamp& other) const {
    if (bPresent != other.bPresent) return false;
    if (!bPresent) return true;
    return data.dwFileAttributes == other.data.dwFileAttributes &&
           data.nFileSizeHigh == other.data.nFileSizeHigh &&
           data.nFileSizeLow == other.data.nFileSizeLow &&
           CompareFileTime(&data.ftLastWriteTime, &other.data.ftLastWriteTime) == 0;
}

CCopyKeyMarkers::FileStamp CCopyKeyMarkers::StampOf(const ByteString& strPath) {
    FileStamp stamp;
    if (strPath.empty()) return stamp;
    stamp.bPresent = ::GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &stamp.data) != FALSE;
    if (!stamp.bPresent) std::memset(&stamp.data, 0, sizeof(stamp.data));
    return stamp;
}

ByteString CopyIniOverridePath(const ByteString& strIniPath) {
    const size_t nDot = strIniPath.rfind('.');
    return nDot == ByteString::npos ? ByteString() : strIniPath.substr(0, nDot) + kCopyIniOverrideTail;
}

void CCopyKeyMarkers::Refresh(const ByteString& strIniPath) {
    const FileStamp mainStamp = StampOf(strIniPath);
    const FileStamp overrideStamp = StampOf(CopyIniOverridePath(strIniPath));
    if (m_bLoaded && strIniPath == m_strIniPath && mainStamp == m_mainStamp &&
        overrideStamp == m_overrideStamp) {
        return;
    }
    Load(strIniPath);
    m_strIniPath = strIniPath;
    m_mainStamp = mainStamp;
    m_overrideStamp = overrideStamp;
    m_bLoaded = true;
}

void CCopyKeyMarkers::Load(const ByteString& strIniPath) {
    m_lstMarkers.clear();
    ByteString strMarkers;
    m_bValid = GetCopyIniValue(strIniPath, kCopyIniSection, kCopyIniKey, strMarkers);
    if (!m_bValid) return;
    ByteString strMore;
    if (GetCopyIniValue(strIniPath, kCopyIniSection, kCopyIniAddKey, strMore)) {
        strMarkers += kCopyMarkerDelimiter;
        strMarkers += strMore;
    }
    SplitString(strMarkers, kCopyMarkerDelimiter, true, m_lstMarkers);
}

}  // namespace tern
