// The drive roots watched for FILEMON_USB (g_arrRecordedRoots). Written by the
// host's thread and the window thread, read by the notification thread: every
// operation takes the array's own lock, so a reader always sees a whole list.
#ifndef TERNFILEMON_FILEMON_RECORDEDROOTS_H
#define TERNFILEMON_FILEMON_RECORDEDROOTS_H

#include <vector>

#include "../common/ByteString.h"
#include "../common/CriticalSection.h"

namespace tern {

class CRecordedRoots {
public:
    // Appends a root not yet listed (compared without regard to letter case):
    // however often a root is attached, it is listed once, so the list stays
    // as short as the set of drive letters.
    void Append(const ByteString& strRoot);
    void RemoveAll();
    size_t GetSize() const;
    // A copy of entry nIndex, or false when the array has shrunk below it meanwhile.
    bool GetAt(size_t nIndex, ByteString& strRoot) const;
    std::vector<ByteString> Snapshot() const;
    // True when a root equals strRoot, compared without regard to letter case.
    bool ContainsNoCase(const ByteString& strRoot) const;

private:
    mutable CriticalSection m_cs;  // innermost lock: nothing is called while it is held
    std::vector<ByteString> m_arrRoots;
};

extern CRecordedRoots g_arrRecordedRoots;

}  // namespace tern

#endif
