// The copy-name markers of CopyFileKey.ini (and its "_cust.ini" override),
// read again only when either file appears, disappears, or changes its size,
// attributes or last write time.
#ifndef TERNFILEMON_COPY_COPYKEYMARKERS_H
#define TERNFILEMON_COPY_COPYKEYMARKERS_H

#include <windows.h>

#include <list>

#include "../common/ByteString.h"

namespace tern {

class CCopyKeyMarkers {
public:
    // Brings the markers up to date with the files at strIniPath.
    void Refresh(const ByteString& strIniPath);

    // False when "CopyKeyValue" is missing or empty in both files.
    bool IsValid() const { return m_bValid; }
    // "CopyKeyValue", then "CopykeyAdd" when present, split at "||" (empty
    // pieces between two delimiters count).
    const std::list<ByteString>& Markers() const { return m_lstMarkers; }

private:
    // What is seen of one file without reading it.
    struct FileStamp {
        bool bPresent = false;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        bool operator==(const FileStamp& other) const;
    };
    static FileStamp StampOf(const ByteString& strPath);
    void Load(const ByteString& strIniPath);

    bool m_bLoaded = false;
    ByteString m_strIniPath;
    FileStamp m_mainStamp;
    FileStamp m_overrideStamp;
    bool m_bValid = false;
    std::list<ByteString> m_lstMarkers;
};

// The "_cust.ini" override of an INI path: everything from its last "."
// replaced; empty when the path has no ".".
ByteString CopyIniOverridePath(const ByteString& strIniPath);

}  // namespace tern

#endif
