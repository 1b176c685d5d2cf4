// The interactive user's temporary folder, found through the token of the
// process "ZUVOVE.exe". Finding that process walks a process snapshot (about
// 10 ms), so while it is not running the lookup is not repeated for every
// added file but at most once per kUserTempRetryMs: a token process that
// starts is noticed at most that long after the last failed lookup.
#ifndef TERNFILEMON_COPY_USERTEMPLOOKUP_H
#define TERNFILEMON_COPY_USERTEMPLOOKUP_H

#include <windows.h>

#include "../common/ByteString.h"

namespace tern {

constexpr ULONGLONG kUserTempRetryMs = 2000;

class CUserTempLookup {
public:
    // Fills strTempPath while it is empty: at once the first time, and after
    // a failed lookup again only from nNowMs = failure + kUserTempRetryMs on.
    // A found folder is kept by the caller and never looked up again.
    void Fill(ByteString& strTempPath, ULONGLONG nNowMs);

private:
    bool m_bFailed = false;
    ULONGLONG m_nFailedAtMs = 0;
};

// The expanded "TEMP" of the user running "ZUVOVE.exe", or empty.
ByteString GetUserTempPath();

}  // namespace tern

#endif
