#include "DelayedDirectoryChangeHandler.h"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "../common/GuardedCall.h"
#include "DelayedNotifier.h"
#include "DeliveryBatch.h"
#include "DirectoryChangeWatcher.h"
#include "PathMatcher.h"
#include "WatchHealth.h"

namespace tern {

namespace {

constexpr DWORD kStopDeliveryWaitMs = 5000;
constexpr int kMaxHandledMessages = 400;
constexpr int kMaxOtherWaitResults = 40;
// File names come from the decoder in code page 936, where a trail byte may
// equal '\\': the separator is searched character by character.
constexpr UINT kFileNameCodePage = 936;

bool IsEmptyText(const char* psz) { return psz == nullptr || *psz == '\0'; }

size_t OffsetAfterLastBackslash(const char* pszName) {
    size_t nAfter = 0;
    for (size_t i = 0; pszName[i] != '\0'; ++i) {
        if (::IsDBCSLeadByteEx(kFileNameCodePage, static_cast<BYTE>(pszName[i])) &&
            pszName[i + 1] != '\0') {
            ++i;
            continue;
        }
        if (pszName[i] == '\\') nAfter = i + 1;
    }
    return nAfter;
}


}  // namespace

CDelayedDirectoryChangeHandler::CDelayedDirectoryChangeHandler(
    CDirectoryChangeHandler* pRealHandler, bool bAppHasGui, const char* pszIncludeFilter,
    const char* pszExcludeFilter, DWORD dwFilterFlags)
    : m_pRealHandler(pRealHandler),
      m_pDelayedNotifier(nullptr),
      m_dwFilterFlags(dwFilterFlags),
      m_dwPartialPathOffset(0),
      m_hWatchStoppedDispatchedEvent(::CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_bBatching(false),
      m_pBatchHead(nullptr),
      m_pBatchTail(nullptr) {
    // The patterns only decide whether the matcher is needed; the lists stay
    // empty, so the pattern stage admits every name.
    if (!IsEmptyText(pszIncludeFilter) || !IsEmptyText(pszExcludeFilter)) {
        PrepareWildcardMatcher();
    }
    if (bAppHasGui) {
        m_pDelayedNotifier = new (std::nothrow) CDelayedNotificationWindow();
    } else {
        m_pDelayedNotifier = new (std::nothrow) CDelayedNotificationThread();
    }
}

CDelayedDirectoryChangeHandler::~CDelayedDirectoryChangeHandler() {
    // A reference still stored here (no record took it out) goes now.
    const RefPtr<CDirectoryChangeHandler> pLeft =
        RefPtr<CDirectoryChangeHandler>::Adopt(SetRealDirectoryChangeHandler(nullptr));
    delete m_pDelayedNotifier;
    m_pDelayedNotifier = nullptr;
}

void CDelayedDirectoryChangeHandler::SetPartialPathOffset(const ByteString& strWatchedDirectory) {
    if ((m_dwFilterFlags & FILTERS_CHECK_PARTIAL_PATH) == 0) {
        m_dwPartialPathOffset = 0;
        return;
    }
    const bool bEndsWithSeparator =
        !strWatchedDirectory.empty() && strWatchedDirectory.back() == '\\';
    m_dwPartialPathOffset =
        static_cast<DWORD>(strWatchedDirectory.size() + (bEndsWithSeparator ? 0 : 1));
}

void CDelayedDirectoryChangeHandler::SetChangedDirectoryName(const ByteString& strDirectory) {
    // The name of a watch never changes: writing only on a change keeps the
    // worker from rewriting a string that a handler might be reading.
    if (GetChangedDirectoryName() != strDirectory) {
        CDirectoryChangeHandler::SetChangedDirectoryName(strDirectory);
    }
    const RefPtr<CDirectoryChangeHandler> pReal = AcquireRealHandler();
    if (pReal && pReal->GetChangedDirectoryName() != strDirectory) {
        pReal->SetChangedDirectoryName(strDirectory);
    }
}

CDirectoryChangeHandler* CDelayedDirectoryChangeHandler::GetRealChangeHandler() const {
    ScopedLock lock(m_csRealHandler);
    return m_pRealHandler;
}

CDirectoryChangeHandler* CDelayedDirectoryChangeHandler::SetRealDirectoryChangeHandler(
    CDirectoryChangeHandler* pHandler) {
    ScopedLock lock(m_csRealHandler);
    CDirectoryChangeHandler* pOld = m_pRealHandler;
    m_pRealHandler = pHandler;
    return pOld;
}

RefPtr<CDirectoryChangeHandler> CDelayedDirectoryChangeHandler::AcquireRealHandler() const {
    ScopedLock lock(m_csRealHandler);
    return RefPtr<CDirectoryChangeHandler>::Share(m_pRealHandler);
}

// ---- the worker thread's side ----

CChangeNotification* CDelayedDirectoryChangeHandler::CreateNotification(
    long eKind, const ByteString& strName1, const ByteString* pName2, DWORD dwError) {
    std::unique_ptr<CChangeNotification> pNotification(new (std::nothrow) CChangeNotification());
    if (pNotification == nullptr) {
        NoteLoss(m_pHealth, ELossKind::PostFailed, 1);
        return nullptr;
    }
    try {
        pNotification->m_strFileName1 = strName1;
        if (pName2 != nullptr) pNotification->m_strFileName2 = *pName2;
    } catch (const std::bad_alloc&) {
        // The call is lost, as when the record itself cannot be had.
        NoteLoss(m_pHealth, ELossKind::PostFailed, 1);
        return nullptr;
    }
    pNotification->m_eFunctionToDispatch = eKind;
    pNotification->m_dwError = dwError;
    pNotification->m_dwPartialPathOffset = m_dwPartialPathOffset;
    // Queued notifications keep their wrapper and handler alive until they
    // are delivered.
    pNotification->m_pDelayedHandler = RefPtr<CDelayedDirectoryChangeHandler>::Share(this);
    pNotification->m_pRealHandler = AcquireRealHandler();
    return pNotification.release();
}

void CDelayedDirectoryChangeHandler::BeginBatch() {
    m_bBatching = true;
    SetDecodingRoot(m_pHealth);
}

void CDelayedDirectoryChangeHandler::EndBatch() {
    m_bBatching = false;
    SetDecodingRoot(nullptr);
    CChangeNotification* pHead = m_pBatchHead;
    m_pBatchHead = m_pBatchTail = nullptr;
    PostNotification(pHead);
}

void CDelayedDirectoryChangeHandler::PostNotification(CChangeNotification* pNotification) {
    if (pNotification == nullptr) return;
    if (m_bBatching) {
        NoteRecordDecoded(m_pHealth);
        if (m_pBatchTail != nullptr) {
            m_pBatchTail->m_pNext = pNotification;
        } else {
            m_pBatchHead = pNotification;
        }
        m_pBatchTail = pNotification;
        return;
    }
    std::uint64_t nChained = 0;
    for (const CChangeNotification* p = pNotification; p != nullptr; p = p->m_pNext) ++nChained;
    NotePosted(m_pHealth, nChained);
    if (m_pDelayedNotifier == nullptr) {
        NoteUndelivered(pNotification);
        DiscardNotification(pNotification);
        return;
    }
    m_pDelayedNotifier->PostNotification(pNotification);
}

void CDelayedDirectoryChangeHandler::OnFileAdded(const ByteString& strFileName) {
    PostNotification(CreateNotification(NOTIFY_KIND_ADDED, strFileName, nullptr, 0));
}

void CDelayedDirectoryChangeHandler::OnFileRemoved(const ByteString& strFileName) {
    PostNotification(CreateNotification(NOTIFY_KIND_REMOVED, strFileName, nullptr, 0));
}

void CDelayedDirectoryChangeHandler::OnFileRenamed(const ByteString& strOldFileName,
                                                   const ByteString& strNewFileName) {
    PostNotification(
        CreateNotification(NOTIFY_KIND_RENAMED, strOldFileName, &strNewFileName, 0));
}

void CDelayedDirectoryChangeHandler::OnFileModified(const ByteString& strFileName) {
    PostNotification(CreateNotification(NOTIFY_KIND_MODIFIED, strFileName, nullptr, 0));
}

void CDelayedDirectoryChangeHandler::OnWatchError(DWORD dwError, const ByteString& strDirectory) {
    PostNotification(CreateNotification(NOTIFY_KIND_WATCH_ERROR, strDirectory, nullptr, dwError));
}

void CDelayedDirectoryChangeHandler::OnWatchStarted(DWORD dwError,
                                                    const ByteString& strDirectory) {
    if (m_dwFilterFlags & FILTERS_NO_WATCHSTART_NOTIFICATION) return;
    PostNotification(
        CreateNotification(NOTIFY_KIND_WATCH_STARTED, strDirectory, nullptr, dwError));
}

void CDelayedDirectoryChangeHandler::OnWatchStopped(const ByteString& strDirectory) {
    if (m_dwFilterFlags & FILTERS_NO_WATCHSTOP_NOTIFICATION) return;
    if (m_hWatchStoppedDispatchedEvent) ::ResetEvent(m_hWatchStoppedDispatchedEvent.Get());
    PostNotification(CreateNotification(NOTIFY_KIND_WATCH_STOPPED, strDirectory, nullptr, 0));
    WaitForOnWatchStoppedDelivery();
}

// The worker waits here while the notification thread delivers the stop, so
// that the real handler has seen every call of the watch before the caller of
// the unwatch destroys the record. Messages for the worker's own queue are
// handled meanwhile, within limits.
bool CDelayedDirectoryChangeHandler::WaitForOnWatchStoppedDelivery() {
    if (!m_hWatchStoppedDispatchedEvent) return false;
    const HANDLE ahEvents[2] = {m_hWatchStoppedDispatchedEvent.Get(), m_hStopWaitAbort};
    const DWORD nEvents = m_hStopWaitAbort != nullptr ? 2 : 1;
    int nHandledMessages = 0;
    int nOtherResults = 0;
    for (;;) {
        const DWORD dwWait = ::MsgWaitForMultipleObjects(nEvents, ahEvents, FALSE,
                                                         kStopDeliveryWaitMs, QS_ALLEVENTS);
        if (dwWait == WAIT_OBJECT_0) return true;
        if (nEvents == 2 && dwWait == WAIT_OBJECT_0 + 1) return false;
        if (dwWait == WAIT_OBJECT_0 + nEvents) {
            MSG msg;
            while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) break;
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
                ::Sleep(10);
                if (++nHandledMessages > kMaxHandledMessages) return false;
            }
            continue;
        }
        if (dwWait == WAIT_TIMEOUT) return false;
        ::Sleep(100);
        if (++nOtherResults > kMaxOtherWaitResults) return false;
    }
}

// ---- the notification thread's side ----

void CDelayedDirectoryChangeHandler::DiscardNotification(CChangeNotification* pNotification) {
    while (pNotification != nullptr) {
        CChangeNotification* pNext = pNotification->m_pNext;
        NoteDiscarded(pNotification);
        DiscardOne(pNotification);
        pNotification = pNext;
    }
}

// Releases the handler and then the wrapper, which may be the last
// reference to either.
void CDelayedDirectoryChangeHandler::DiscardOne(CChangeNotification* pNotification) {
    delete pNotification;
}

void CDelayedDirectoryChangeHandler::DispatchNotification(CChangeNotification* pNotification) {
    const CDeliveryBatchScope batch;
    while (pNotification != nullptr) {
        CChangeNotification* pNext = pNotification->m_pNext;
        DispatchOne(pNotification);
        pNotification = pNext;
    }
}

// Runs one call inside the guard. Nothing may leave it as a C++ exception
// (the 32-bit guard is not unwound by one), so the C++ exceptions of the call
// are caught here and reported like a structured one.
void CDelayedDirectoryChangeHandler::ExecuteGuarded(void* pParam) {
    CChangeNotification* pNotification = static_cast<CChangeNotification*>(pParam);
    try {
        pNotification->m_pDelayedHandler->ExecuteNotification(pNotification);
    } catch (const std::exception& e) {
        ReportDispatchFault(FormatTruncated(255, "Notification dispatch exception: %s", e.what()).c_str());
    } catch (...) {
        ReportDispatchFault("Notification dispatch exception");
    }
}

// A handler that fails on one call, even with an access violation, still
// gets the calls after it.
void CDelayedDirectoryChangeHandler::DispatchOne(CChangeNotification* pNotification) {
    CDispatchCost cost(pNotification);
    CDelayedDirectoryChangeHandler* pWrapper = pNotification->m_pDelayedHandler.Get();
    if (pWrapper != nullptr) {
        const DWORD dwFault = CallGuarded(&CDelayedDirectoryChangeHandler::ExecuteGuarded,
                                          pNotification);
        if (dwFault != 0) {
            ReportDispatchFault(FormatTruncated(255, "Notification dispatch fault 0x%08lX",
                                                static_cast<unsigned long>(dwFault)).c_str());
        }
        // The worker waits for this signal; it must come even when the
        // handler failed or is gone.
        if (pNotification->m_eFunctionToDispatch == NOTIFY_KIND_WATCH_STOPPED &&
            pWrapper->m_hWatchStoppedDispatchedEvent) {
            ::SetEvent(pWrapper->m_hWatchStoppedDispatchedEvent.Get());
        }
    }
    cost.Finish();
    DiscardOne(pNotification);
}

void CDelayedDirectoryChangeHandler::ExecuteNotification(CChangeNotification* pNotification) {
    CDirectoryChangeHandler* pReal = pNotification->m_pRealHandler.Get();
    if (pReal == nullptr || !IsNotificationWanted(pNotification, pReal)) return;
    const ByteString& strName1 = pNotification->m_strFileName1;
    switch (pNotification->m_eFunctionToDispatch) {
        case NOTIFY_KIND_ADDED:
            pReal->OnFileAdded(strName1);
            break;
        case NOTIFY_KIND_REMOVED:
            pReal->OnFileRemoved(strName1);
            break;
        case NOTIFY_KIND_MODIFIED:
            pReal->OnFileModified(strName1);
            break;
        case NOTIFY_KIND_RENAMED:
            pReal->OnFileRenamed(strName1, pNotification->m_strFileName2);
            break;
        case NOTIFY_KIND_WATCH_ERROR:
            pReal->OnWatchError(pNotification->m_dwError, strName1);
            break;
        case NOTIFY_KIND_WATCH_STARTED:
            pReal->OnWatchStarted(pNotification->m_dwError, strName1);
            break;
        case NOTIFY_KIND_WATCH_STOPPED:
            try {
                pReal->OnWatchStopped(strName1);
            } catch (...) {
                ::MessageBeep(0xFFFFFFFF);
                ::MessageBeep(0xFFFFFFFF);
                ReportDispatchFault("Notification dispatch exception");
            }
            break;
        default:
            break;
    }
}

bool CDelayedDirectoryChangeHandler::PassesPatterns(const char* pszName) const {
    bool bIncluded = m_vecIncludeFilter.empty();
    for (size_t i = 0; !bIncluded && i < m_vecIncludeFilter.size(); ++i) {
        bIncluded = MatchesWildcard(pszName, m_vecIncludeFilter[i].c_str());
    }
    if (!bIncluded) return false;
    for (const ByteString& strPattern : m_vecExcludeFilter) {
        if (MatchesWildcard(pszName, strPattern.c_str())) return false;
    }
    return true;
}

bool CDelayedDirectoryChangeHandler::IsNotificationWanted(CChangeNotification* pNotification) {
    const RefPtr<CDirectoryChangeHandler> pReal = AcquireRealHandler();
    return IsNotificationWanted(pNotification, pReal.Get());
}

bool CDelayedDirectoryChangeHandler::IsNotificationWanted(CChangeNotification* pNotification,
                                                          CDirectoryChangeHandler* pReal) {
    if (pNotification == nullptr || pReal == nullptr) return false;
    const DWORD dwFlags = m_dwFilterFlags;
    if ((dwFlags & FILTERS_DONT_USE_FILTERS) && (dwFlags & FILTERS_DONT_USE_HANDLER_FILTER)) {
        return true;
    }
    const long eKind = pNotification->m_eFunctionToDispatch;
    if (eKind == NOTIFY_KIND_WATCH_ERROR || eKind == NOTIFY_KIND_WATCH_STARTED ||
        eKind == NOTIFY_KIND_WATCH_STOPPED) {
        return true;
    }
    const char* pszName = pNotification->m_strFileName1.c_str();
    const char* pszNewName = pNotification->NewNameOrNull();
    const DWORD dwAction = static_cast<DWORD>(eKind);
    if ((dwFlags & FILTERS_TEST_HANDLER_FIRST) && !(dwFlags & FILTERS_DONT_USE_HANDLER_FILTER)) {
        if (!pReal->AcceptNotification(dwAction, pszName, pszNewName)) return false;
    }

    // Empty pattern lists admit every name: the name's offset (a walk over its
    // characters) is then not worth finding.
    const bool bHasPatterns = !m_vecIncludeFilter.empty() || !m_vecExcludeFilter.empty();
    if (!(dwFlags & FILTERS_DONT_USE_FILTERS) && bHasPatterns) {
        size_t nOffset = 0;
        if (dwFlags & FILTERS_CHECK_FILE_NAME_ONLY) {
            nOffset = OffsetAfterLastBackslash(pszName);
        } else if (dwFlags & FILTERS_CHECK_PARTIAL_PATH) {
            nOffset = pNotification->m_dwPartialPathOffset;
        }
        // The new name of a rename is tested from the same offset.
        auto from = [nOffset](const char* pszText) {
            const size_t nLength = std::strlen(pszText);
            return pszText + (nOffset > nLength ? nLength : nOffset);
        };
        if (!PassesPatterns(from(pszName))) {
            if (eKind != NOTIFY_KIND_RENAMED || pszNewName == nullptr) return false;
            if (!PassesPatterns(from(pszNewName))) return false;
        }
    }

    if (dwFlags & (FILTERS_TEST_HANDLER_FIRST | FILTERS_DONT_USE_HANDLER_FILTER)) return true;
    return pReal->AcceptNotification(dwAction, pszName, pszNewName);
}

}  // namespace tern
