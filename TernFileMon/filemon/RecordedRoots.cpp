#include "RecordedRoots.h"

namespace tern {

CRecordedRoots g_arrRecordedRoots;

void CRecordedRoots::Append(const ByteString& strRoot) {
    ScopedLock lock(m_cs);
    for (const ByteString& strEntry : m_arrRoots) {
        if (EqualsNoCase(strEntry, strRoot)) return;
    }
    m_arrRoots.push_back(strRoot);
}

void CRecordedRoots::RemoveAll() {
    ScopedLock lock(m_cs);
    m_arrRoots.clear();
}

size_t CRecordedRoots::GetSize() const {
    ScopedLock lock(m_cs);
    return m_arrRoots.size();
}

bool CRecordedRoots::GetAt(size_t nIndex, ByteString& strRoot) const {
    ScopedLock lock(m_cs);
    if (nIndex >= m_arrRoots.size()) return false;
    strRoot = m_arrRoots[nIndex];
    return true;
}

std::vector<ByteString> CRecordedRoots::Snapshot() const {
    ScopedLock lock(m_cs);
    return m_arrRoots;
}

bool CRecordedRoots::ContainsNoCase(const ByteString& strRoot) const {
    ScopedLock lock(m_cs);
    for (const ByteString& strEntry : m_arrRoots) {
        if (EqualsNoCase(strEntry, strRoot)) return true;
    }
    return false;
}

}  // namespace tern
