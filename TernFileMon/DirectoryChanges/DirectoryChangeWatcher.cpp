#include "DirectoryChangeWatcher.h"

namespace tern {

// First form: the public interface only; watching is not yet wired.
CDirectoryChangeWatcher::CDirectoryChangeWatcher(bool bHasGui, DWORD nFilterFlags)
    : m_hCompPort(nullptr), m_hThread(nullptr), m_dwThreadID(0), m_bHasGui(bHasGui),
      m_nFilterFlags(nFilterFlags == 0 ? FILTERS_DEFAULT_BEHAVIOR : nFilterFlags) {}
CDirectoryChangeWatcher::~CDirectoryChangeWatcher() = default;
DWORD CDirectoryChangeWatcher::WatchDirectory(const ByteString&, DWORD, CDirectoryChangeHandler*,
                                              BOOL, const char*, const char*) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
BOOL CDirectoryChangeWatcher::UnwatchDirectory(const ByteString&) { return FALSE; }
BOOL CDirectoryChangeWatcher::UnwatchDirectory(CDirectoryChangeHandler*) { return FALSE; }
BOOL CDirectoryChangeWatcher::UnwatchAllDirectories() { return FALSE; }
BOOL CDirectoryChangeWatcher::IsAlreadyWatched(const ByteString&) { return FALSE; }
int CDirectoryChangeWatcher::NumWatchedDirectories() { return 0; }
void CDirectoryChangeWatcher::OnWorkerThreadStart() {}
void CDirectoryChangeWatcher::OnWorkerThreadExit() {}

}  // namespace tern
