// Pieces of the engine tests: a change handler that records every call (with
// the calling thread) and lets a test wait for the calls it expects, a watcher
// that reports its worker thread, and a fresh folder on the fixed test drive.
#ifndef TERNFILEMON_TESTS_DIRECTORYCHANGES_RECORDINGHANDLER_H
#define TERNFILEMON_TESTS_DIRECTORYCHANGES_RECORDINGHANDLER_H

#include <windows.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestDrives.h"
#include "TestFiles.h"
#include "WaitUntil.h"
#include "../../TernFileMon/DirectoryChanges/DirectoryChangeHandler.h"
#include "../../TernFileMon/DirectoryChanges/DirectoryChangeWatcher.h"

namespace terntest {

constexpr DWORD kChangeMask = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                              FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE;
// Upper bound for a change to travel from the file system to a handler.
constexpr DWORD kDeliveryWaitMs = 3000;

struct HandlerCall {
    std::string strKind;  // "added", "removed", "modified", "renamed", "error", "started", "stopped"
    std::string strName, strNewName;
    DWORD dwError = 0;
    DWORD dwThreadId = 0;
    unsigned long nBatch = 0;  // the delivery batch the call came in
};

class RecordingHandler : public tern::CDirectoryChangeHandler {
public:
    void OnFileAdded(const tern::ByteString& strName) override { Record("added", strName); }
    void OnFileRemoved(const tern::ByteString& strName) override { Record("removed", strName); }
    void OnFileModified(const tern::ByteString& strName) override { Record("modified", strName); }
    void OnFileRenamed(const tern::ByteString& strOld, const tern::ByteString& strNew) override {
        Record("renamed", strOld, strNew);
    }
    void OnWatchError(DWORD dwError, const tern::ByteString& strDir) override { Record("error", strDir, "", dwError); }
    void OnWatchStarted(DWORD dwError, const tern::ByteString& strDir) override {
        Record("started", strDir, "", dwError);
    }
    void OnWatchStopped(const tern::ByteString& strDir) override {
        Record("stopped", strDir);
        if (m_bThrowOnStop) throw std::runtime_error("handler failed on stop");
    }
    bool AcceptNotification(DWORD, const char* pszName, const char*) override;

    std::vector<HandlerCall> Calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // Calls of one kind whose name contains the text.
    size_t Count(const std::string& strKind, const std::string& strNamePart = "") const;
    bool WaitForCount(const std::string& strKind, const std::string& strNamePart, size_t nCount,
                      DWORD nTimeoutMs = kDeliveryWaitMs) const;
    // "<kind> <name>", with " > <new name>" for a rename, for each call in order.
    std::vector<std::string> Lines() const;

    std::atomic<int> m_nAcceptCalls{0};
    bool m_bThrowOnStop = false;
    std::string m_strRejectSuffix;

private:
    void Record(const char* pszKind, const std::string& strName, const std::string& strNew = "", DWORD dwError = 0);

    mutable std::mutex m_mutex;
    std::vector<HandlerCall> m_calls;
};

// A watcher that remembers its worker thread and counts worker exits.
class ProbeWatcher : public tern::CDirectoryChangeWatcher {
public:
    explicit ProbeWatcher(bool bHasGui = false, DWORD dwFlags = 8) : CDirectoryChangeWatcher(bHasGui, dwFlags) {}
    // The worker calls back into this class: end it while this part exists.
    ~ProbeWatcher() override { UnwatchAllDirectories(); }
    DWORD Watch(const std::string& strDir, tern::CDirectoryChangeHandler* pHandler, BOOL bSubtree = TRUE) {
        return WatchDirectory(strDir, kChangeMask, pHandler, bSubtree, "*", "");
    }
    std::atomic<DWORD> m_dwWorkerThreadId{0};
    std::atomic<int> m_nWorkerExits{0};

protected:
    void OnWorkerThreadStart() override {
        m_dwWorkerThreadId = ::GetCurrentThreadId();
    }
    void OnWorkerThreadExit() override { ++m_nWorkerExits; }
};

// A fresh folder on the fixed test drive, removed at the end of the test.
class TempFolder {
public:
    explicit TempFolder(const char* pszPrefix) : m_strPath(MakeFreshFolder(FixedDriveRoot(), pszPrefix)) {}
    ~TempFolder() { RemoveTree(m_strPath); }
    const std::string& Path() const { return m_strPath; }
    std::string Child(const std::string& strName) const { return m_strPath + "\\" + strName; }

private:
    std::string m_strPath;
};

}  // namespace terntest

#endif
