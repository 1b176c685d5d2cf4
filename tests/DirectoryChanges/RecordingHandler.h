// A change handler for tests: records every call (with the calling thread) and
// lets a test wait, bounded, for the calls it expects.
#ifndef TERNFILEMON_TESTS_DIRECTORYCHANGES_RECORDINGHANDLER_H
#define TERNFILEMON_TESTS_DIRECTORYCHANGES_RECORDINGHANDLER_H

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../TernFileMon/DirectoryChanges/DirectoryChangeHandler.h"

namespace terntest {

struct HandlerCall {
    std::string strKind;  // "added", "removed", "modified", "renamed", "error", "started", "stopped"
    std::string strName;
    std::string strNewName;
    DWORD dwError = 0;
    DWORD dwThreadId = 0;
};

class RecordingHandler : public tern::CDirectoryChangeHandler {
public:
    // Counts destroyed recording handlers, so tests can see a Release delete.
    static std::atomic<int> s_nDestroyed;

    RecordingHandler() = default;
    ~RecordingHandler() override { ++s_nDestroyed; }

    void OnFileAdded(const tern::ByteString& strName) override { Record("added", strName); }
    void OnFileRemoved(const tern::ByteString& strName) override { Record("removed", strName); }
    void OnFileModified(const tern::ByteString& strName) override { Record("modified", strName); }
    void OnFileRenamed(const tern::ByteString& strOld, const tern::ByteString& strNew) override {
        Record("renamed", strOld, strNew);
    }
    void OnWatchError(DWORD dwError, const tern::ByteString& strDir) override {
        Record("error", strDir, "", dwError);
    }
    void OnWatchStarted(DWORD dwError, const tern::ByteString& strDir) override {
        Record("started", strDir, "", dwError);
    }
    void OnWatchStopped(const tern::ByteString& strDir) override {
        if (m_nStopDelayMs > 0) ::Sleep(m_nStopDelayMs);
        Record("stopped", strDir);
        if (m_bThrowOnStop) throw std::runtime_error("handler failed on stop");
    }
    bool AcceptNotification(DWORD dwAction, const char* pszName, const char* pszNewName) override {
        ++m_nAcceptCalls;
        (void)dwAction;
        (void)pszNewName;
        return m_strRejectSuffix.empty() || !EndsWith(pszName, m_strRejectSuffix);
    }

    std::vector<HandlerCall> Calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // Calls of one kind whose name contains the text.
    size_t Count(const std::string& strKind, const std::string& strNamePart = "") const;
    // Waits up to nTimeoutMs until pred(calls) holds.
    bool WaitUntil(const std::function<bool(const std::vector<HandlerCall>&)>& pred,
                   DWORD nTimeoutMs) const;
    bool WaitForCount(const std::string& strKind, const std::string& strNamePart, size_t nCount,
                      DWORD nTimeoutMs) const;
    // True when an exact call (kind, name, new name) was seen.
    bool Has(const std::string& strKind, const std::string& strName,
             const std::string& strNewName = "") const;

    std::atomic<int> m_nAcceptCalls{0};
    DWORD m_nStopDelayMs = 0;
    bool m_bThrowOnStop = false;
    std::string m_strRejectSuffix;

private:
    static bool EndsWith(const char* psz, const std::string& strSuffix);
    void Record(const char* pszKind, const std::string& strName, const std::string& strNew = "",
                DWORD dwError = 0);

    mutable std::mutex m_mutex;
    std::vector<HandlerCall> m_calls;
};

}  // namespace terntest

#endif
