// What the event policy asks of the world while it decides: the time, and
// whether a new file is a paste of a copied one. The live component answers
// with the clock and copy detection, a replay with the answers recorded live,
// so that both run the same decisions.
#ifndef TERNFILEMON_POLICY_POLICYENVIRONMENT_H
#define TERNFILEMON_POLICY_POLICYENVIRONMENT_H

#include <windows.h>

#include <atomic>
#include <ctime>

#include "../common/ByteString.h"
#include "../include/TernFileMonReplay.h"

namespace tern {

class CDirectoryChangeHandler_Policy;

class CPolicyEnvironment {
public:
    virtual ~CPolicyEnvironment() = default;
    // Seconds since 1970-01-01 UTC.
    virtual __time64_t CurrentTime() = 0;
    // The full path of the copied file strNewPath was pasted from, or empty.
    virtual ByteString CopySourceOf(const ByteString& strNewPath) = 0;
};

// The system clock and copy detection (the list of copied files, the user's
// temporary folder kept by the file monitor's watcher).
class CLivePolicyEnvironment : public CPolicyEnvironment {
public:
    __time64_t CurrentTime() override;
    ByteString CopySourceOf(const ByteString& strNewPath) override;
};

extern CLivePolicyEnvironment g_livePolicyEnvironment;

// The host's recorder (SetPolicyRecorder); null while nobody records.
extern std::atomic<TernPolicyRecorder> g_pfnPolicyRecorder;

// Records one notification of a policy handler while a recorder is set: it
// stands between the handler and its environment for the notification's
// duration, notes the answers, and hands the note to the recorder when it
// goes. Without a recorder it costs one atomic read.
class CPolicyRecording : public CPolicyEnvironment {
public:
    CPolicyRecording(CDirectoryChangeHandler_Policy& handler, std::uint32_t nKind,
                     const ByteString& strPath, const ByteString* pNewPath = nullptr);
    // Never throws: a recorder that throws is traced and the note is lost.
    ~CPolicyRecording() override;
    CPolicyRecording(const CPolicyRecording&) = delete;
    CPolicyRecording& operator=(const CPolicyRecording&) = delete;

    __time64_t CurrentTime() override;
    ByteString CopySourceOf(const ByteString& strNewPath) override;

private:
    const TernPolicyRecorder m_pfnRecorder;
    CDirectoryChangeHandler_Policy& m_handler;
    CPolicyEnvironment* m_pInner = nullptr;
    TernPolicyNote m_note = {};
    ByteString m_strUsbRoots;
    ByteString m_strCopySource;
    LARGE_INTEGER m_start = {};
};

// Answers a replayed handler from the note being replayed.
class CReplayEnvironment : public CPolicyEnvironment {
public:
    void SetNote(const TernPolicyNote* pNote) { m_pNote = pNote; }
    __time64_t CurrentTime() override { return m_pNote != nullptr ? m_pNote->tTime : -1; }
    ByteString CopySourceOf(const ByteString& strNewPath) override;

private:
    const TernPolicyNote* m_pNote = nullptr;
};

}  // namespace tern

#endif
