#include "UserTempLookup.h"

#include <new>
#include <userenv.h>

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
    ::RevertToSelf();
    return strTemp;
}

void CUserTempLookup::Fill(ByteString& strTempPath, ULONGLONG nNowMs) {
    if (!strTempPath.empty()) return;
    if (m_bFailed && nNowMs - m_nFailedAtMs < kUserTempRetryMs) return;
    strTempPath = GetUserTempPath();
    m_bFailed = strTempPath.empty();
    m_nFailedAtMs = nNowMs;
}

}  // namespace tern
