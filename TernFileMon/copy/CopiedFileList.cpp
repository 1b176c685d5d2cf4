#include "CopiedFileList.h"

namespace tern {

ByteString CCopiedFileList::Lower(const ByteString& strText) {
    ByteString strLower = strText;
    MakeLowerInPlace(strLower);
    return strLower;
}

void CCopiedFileList::SplitDirectoryAndName(const ByteString& strPath, ByteString& strDirectory,
                                            ByteString& strName) {
    const size_t nSlash = strPath.rfind('\\');
    if (nSlash == ByteString::npos || nSlash < 1) {
        strDirectory.clear();
        strName.clear();
        return;
    }
    strDirectory = strPath.substr(0, nSlash);
    strName = strPath.substr(nSlash + 1);
}

void CCopiedFileList::Assign(std::vector<ByteString>&& vecPaths) {
    m_vecPaths = std::move(vecPaths);
    m_mapFirstByName.clear();
    m_mapByDirectory.clear();
    ByteString strDirectory;
    ByteString strName;
    for (size_t i = 0; i < m_vecPaths.size(); ++i) {
        SplitDirectoryAndName(m_vecPaths[i], strDirectory, strName);
        // An entry without a folder or a name can match no added file, whose
        // path always has both.
        if (!strName.empty()) m_mapFirstByName.emplace(Lower(strName), i);
        if (!strDirectory.empty()) m_mapByDirectory[Lower(strDirectory)].push_back(i);
    }
}

void CCopiedFileList::CopyTo(std::list<ByteString>& lstOut) const {
    lstOut.assign(m_vecPaths.begin(), m_vecPaths.end());
}

ByteString CCopiedFileList::FindSource(const ByteString& strNewDirectory, const ByteString& strNewName,
                                       const CopyNameTest& isCopyName) const {
    if (strNewName.empty()) return ByteString();
    const auto itName = m_mapFirstByName.find(Lower(strNewName));
    const size_t nSameName = itName != m_mapFirstByName.end() ? itName->second : m_vecPaths.size();
    const auto itDirectory = m_mapByDirectory.find(Lower(strNewDirectory));
    if (itDirectory != m_mapByDirectory.end()) {
        ByteString strDirectory;
        ByteString strName;
        for (const size_t nEntry : itDirectory->second) {
            if (nEntry >= nSameName) break;
            SplitDirectoryAndName(m_vecPaths[nEntry], strDirectory, strName);
            if (isCopyName(strName, strNewName)) return m_vecPaths[nEntry];
        }
    }
    return nSameName < m_vecPaths.size() ? m_vecPaths[nSameName] : ByteString();
}

}  // namespace tern
