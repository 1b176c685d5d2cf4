// Shared pieces of the engine tests: a watcher that reports its worker thread,
// the change mask the file monitor uses, and small file helpers.
#ifndef TERNFILEMON_TESTS_DIRECTORYCHANGES_ENGINETESTUTIL_H
#define TERNFILEMON_TESTS_DIRECTORYCHANGES_ENGINETESTUTIL_H

#include <windows.h>

#include <atomic>
#include <string>

#include "../../TernFileMon/DirectoryChanges/DirectoryChangeWatcher.h"

namespace terntest {

constexpr DWORD kChangeMask = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                              FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE;
// Upper bound for a change to travel from the file system to a handler.
constexpr DWORD kDeliveryWaitMs = 3000;

// A watcher that remembers its worker thread and counts worker exits.
class ProbeWatcher : public tern::CDirectoryChangeWatcher {
public:
    explicit ProbeWatcher(bool bHasGui = false, DWORD dwFlags = 8)
        : CDirectoryChangeWatcher(bHasGui, dwFlags) {}
    // The worker calls back into this class: end it while this part exists.
    ~ProbeWatcher() override { UnwatchAllDirectories(); }
    std::atomic<DWORD> m_dwWorkerThreadId{0};
    std::atomic<int> m_nWorkerStarts{0};
    std::atomic<int> m_nWorkerExits{0};

protected:
    void OnWorkerThreadStart() override {
        m_dwWorkerThreadId = ::GetCurrentThreadId();
        ++m_nWorkerStarts;
    }
    void OnWorkerThreadExit() override { ++m_nWorkerExits; }
};

// Creates or replaces a file with the text.
bool WriteTextFile(const std::string& strPath, const std::string& strText);

// Closes this process's handle to the directory, as a vanished volume would
// take it away under the watch. Returns false when no such handle was found.
bool CloseDirectoryHandleBehindTheWatch(const std::string& strDirectory);

}  // namespace terntest

#endif
