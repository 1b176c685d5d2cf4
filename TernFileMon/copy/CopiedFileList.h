// The list of files the user has copied, parsed once and indexed so that an
// added file is matched against it without walking every entry.
#ifndef TERNFILEMON_COPY_COPIEDFILELIST_H
#define TERNFILEMON_COPY_COPIEDFILELIST_H

#include <functional>
#include <list>
#include <unordered_map>
#include <vector>

#include "../common/ByteString.h"

namespace tern {

class CCopiedFileList {
public:
    // Replaces the list; entries keep their order.
    void Assign(std::vector<ByteString>&& vecPaths);
    void Clear() { Assign({}); }

    bool IsEmpty() const { return m_vecPaths.empty(); }
    size_t Size() const { return m_vecPaths.size(); }
    void CopyTo(std::list<ByteString>& lstOut) const;

    // Whether strCopiedName (an entry's name) has the shape of a copy of it
    // for a new file strNewName in the same folder.
    using CopyNameTest = std::function<bool(const ByteString& strCopiedName, const ByteString& strNewName)>;

    // The first entry, in list order, that has the new file's name (ignoring
    // case) or lies in its folder (ignoring case) with a name for which
    // isCopyName holds; empty when there is none. Only entries of that folder
    // that come before the first same-name entry are tested.
    ByteString FindSource(const ByteString& strNewDirectory, const ByteString& strNewName,
                          const CopyNameTest& isCopyName) const;

    // Splits at the last backslash; both parts empty when there is none after
    // the first character.
    static void SplitDirectoryAndName(const ByteString& strPath, ByteString& strDirectory,
                                      ByteString& strName);

private:
    static ByteString Lower(const ByteString& strText);

    std::vector<ByteString> m_vecPaths;
    // Lower-cased name -> first entry with it; lower-cased folder -> its entries in order.
    std::unordered_map<ByteString, size_t> m_mapFirstByName;
    std::unordered_map<ByteString, std::vector<size_t>> m_mapByDirectory;
};

}  // namespace tern

#endif
