#include "UserTempLookup.h"

#include <userenv.h>

#include <cerrno>
#include <new>
#include <string>

#include "../common/DebugOutput.h"
#include "../common/Win32Handles.h"
#include "CopySource.h"
#include "SystemUtil.h"

namespace tern {

namespace {

constexpr DWORD kPathBufferSize = MAX_PATH;  // 260
constexpr char kUserEnvironmentKey[] = "Environment";
constexpr char kTempValueName[] = "TEMP";

// The raw "TEMP" of the impersonated user, expanded in that user's environment.
ByteString ExpandUserTemp(HANDLE hToken) {
    DWORD dwSize = kPathBufferSize;
    ByteString strRawTemp;
    QueryRegKeyValue(HKEY_CURRENT_USER, kUserEnvironmentKey, kTempValueName, dwSize, strRawTemp,
                     REG_VIEW_64);
    char szExpanded[kPathBufferSize] = {};
    if (!::ExpandEnvironmentStringsForUserA(hToken, strRawTemp.c_str(), szExpanded, kPathBufferSize)) {
        return ByteString();
    }
    szExpanded[kPathBufferSize - 1] = '\0';
    return szExpanded;
}

}  // namespace

ByteString GetUserTempPath() {
    HANDLE hRawToken = nullptr;
    DWORD dwSessionId = 0;
    if (!UtilSucceeded(GetTokenByName(kUserTokenProcess, hRawToken, dwSessionId))) return ByteString();
    UniqueHandle hToken(hRawToken);
    if (!::ImpersonateLoggedOnUser(hToken.Get())) return ByteString();
    ByteString strTemp;
    try {
        strTemp = ExpandUserTemp(hToken.Get());
    } catch (const std::bad_alloc&) {
        // Caught here only so that the impersonation ends below.
        ::OutputDebugStringA("User temp path lookup: out of memory");
        strTemp.clear();
    }
    if (!::RevertToSelf()) {
        // Nothing else can undo it: the line at least says why this thread
        // acts as the user from now on.
        WriteDebugLine(("User temp path lookup: RevertToSelf failed, error " +
                        std::to_string(::GetLastError())).c_str());
    }
    return strTemp;
}

void CUserTempLookup::Fill(ByteString& strTempPath, ULONGLONG nNowMs) {
    if (!strTempPath.empty()) return;
    {
        ScopedLock lock(m_cs);
        if (!m_strRetryAnswer.empty()) {
            strTempPath.swap(m_strRetryAnswer);
            m_bFailed = false;
            return;
        }
        if (!IsLookupDueLocked(nNowMs)) return;
        ++m_nLookups;
        if (m_bFailed && m_thread.HasUsers() && StartRetryLocked(nNowMs)) return;
    }
    strTempPath = GetUserTempPath();
    ScopedLock lock(m_cs);
    m_bFailed = strTempPath.empty();
    m_nFailedAtMs = nNowMs;
}

bool CUserTempLookup::IsLookupDueLocked(ULONGLONG nNowMs) const {
    if (m_bRetrying) return false;
    return !m_bFailed || nNowMs - m_nFailedAtMs >= kUserTempRetryMs;
}

bool CUserTempLookup::StartRetryLocked(ULONGLONG nNowMs) {
    if (!m_bThreadRunning && !StartThreadLocked()) return false;
    m_nFailedAtMs = nNowMs;  // the bound counts from the start of this lookup
    m_bRetryWanted = true;
    m_bRetrying = true;
    m_cvWork.WakeOne();
    return true;
}

void CUserTempLookup::BeginUse() {
    ScopedLock lock(m_cs);
    m_thread.AddUser();  // a thread still running goes on serving
}

bool CUserTempLookup::EndUse(DWORD dwTimeoutMs) {
    // Waited for on a copy of the handle: a new user may start a new thread
    // meanwhile, and the handle stays with the object.
    UniqueHandle hWait;
    unsigned long nGeneration = 0;
    {
        ScopedLock lock(m_cs);
        if (!m_thread.RemoveUser()) return true;
        m_bFailed = false;
        m_strRetryAnswer.clear();
        m_cvWork.WakeAll();
        if (!m_thread.TakeWaitCopy(hWait, nGeneration)) {
            if (!m_thread.HasThread()) return true;
            WriteDebugLine(("User temp retry thread: no handle to wait on, error " +
                            std::to_string(::GetLastError())).c_str());
            return false;
        }
    }
    // Bounded: a lookup held longer ends by itself (its answer is dropped);
    // the thread keeps the library loaded until then.
    if (!m_thread.WaitForEnd(hWait, nGeneration, dwTimeoutMs, m_cs)) {
        WriteDebugLine("User temp retry thread still busy: left to end by itself");
        return false;
    }
    return true;
}

unsigned long CUserTempLookup::LookupsBegun() const {
    ScopedLock lock(m_cs);
    return m_nLookups;
}

bool CUserTempLookup::StartThreadLocked() {
    if (!m_thread.Start(&CUserTempLookup::ThreadProc, this)) {
        WriteDebugLine(("User temp retry thread not started, errno " + std::to_string(errno)).c_str());
        return false;
    }
    m_bThreadRunning = true;
    return true;
}

void CUserTempLookup::RunRetries() {
    for (;;) {
        {
            ScopedLock lock(m_cs);
            // Idle wait: a retry asked for, or the last EndUse, ends it.
            while (!m_bRetryWanted && !m_thread.IsEnding()) m_cvWork.Wait(m_cs, INFINITE);
            if (m_thread.IsEnding()) break;
            m_bRetryWanted = false;
        }
        ByteString strFound = GetUserTempPath();
        ScopedLock lock(m_cs);
        m_bRetrying = false;
        if (!m_thread.IsEnding()) m_strRetryAnswer.swap(strFound);
    }
}

void CUserTempLookup::ThreadProc(void* pParam) {
    CUserTempLookup* pLookup = static_cast<CUserTempLookup*>(pParam);
    try {
        pLookup->RunRetries();
    } catch (...) {
        // Only memory can run out here; later retries then run on the caller.
        WriteDebugLine("User temp retry thread ended by an exception");
    }
    ScopedLock lock(pLookup->m_cs);
    pLookup->m_bRetryWanted = false;
    pLookup->m_bRetrying = false;
    pLookup->m_bThreadRunning = false;
}

}  // namespace tern
