#include "PathMatcher.h"

#include <windows.h>


namespace tern {

namespace {

using PathMatchSpecFn = BOOL(WINAPI*)(LPCSTR pszFile, LPCSTR pszSpec);

// Resolved once per process. Shlwapi.dll, once loaded, stays loaded: every
// later preparation adds a reference that is never dropped.
INIT_ONCE g_onceMatcher = INIT_ONCE_STATIC_INIT;
PathMatchSpecFn g_pfnPathMatchSpec = nullptr;
HMODULE g_hShlwapi = nullptr;

BOOL CALLBACK ResolveMatcher(PINIT_ONCE, PVOID pFirst, PVOID*) {
    if (pFirst != nullptr) *static_cast<bool*>(pFirst) = true;
    HMODULE hModule = ::LoadLibraryA("Shlwapi.dll");
    if (hModule == nullptr) return TRUE;
    FARPROC pProc = ::GetProcAddress(hModule, "PathMatchSpecA");
    if (pProc == nullptr) {
        ::FreeLibrary(hModule);
        return TRUE;
    }
    g_hShlwapi = hModule;
    g_pfnPathMatchSpec =
        reinterpret_cast<PathMatchSpecFn>(reinterpret_cast<void (*)()>(pProc));
    return TRUE;
}

void EnsureMatcherResolved(bool* pbFirst) {
    ::InitOnceExecuteOnce(&g_onceMatcher, ResolveMatcher, pbFirst, nullptr);
}

}  // namespace

void PrepareWildcardMatcher() {
    bool bFirst = false;
    EnsureMatcherResolved(&bFirst);
    if (!bFirst && g_hShlwapi != nullptr) ::LoadLibraryA("Shlwapi.dll");
}

bool IsUsingPathMatchSpec() {
    EnsureMatcherResolved(nullptr);
    return g_pfnPathMatchSpec != nullptr;
}

bool MatchesWildcard(const char* pszName, const char* pszPattern) {
    if (pszName == nullptr || pszPattern == nullptr) return false;
    EnsureMatcherResolved(nullptr);
    if (g_pfnPathMatchSpec != nullptr) return g_pfnPathMatchSpec(pszName, pszPattern) != FALSE;
    return MatchWildcardFallback(pszName, pszPattern);
}

bool MatchWildcardFallback(const char* pszName, const char* pszPattern) {
    if (pszName == nullptr || pszPattern == nullptr) return false;
    // Iterative match with one backtrack point: the last '*' seen.
    const char* pszStar = nullptr;
    const char* pszResume = nullptr;
    while (*pszName != '\0') {
        if (*pszPattern == '*') {
            pszStar = pszPattern++;
            pszResume = pszName;
        } else if (*pszPattern == '?' || *pszPattern == *pszName) {
            ++pszPattern;
            ++pszName;
        } else if (pszStar != nullptr) {
            pszPattern = pszStar + 1;
            pszName = ++pszResume;
        } else {
            return false;
        }
    }
    while (*pszPattern == '*') ++pszPattern;
    return *pszPattern == '\0';
}

}  // namespace tern
