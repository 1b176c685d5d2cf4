// Wildcard matching of names against include/exclude patterns: PathMatchSpecA
// from Shlwapi.dll when it can be loaded, else a matcher of our own.
#ifndef TERNFILEMON_DIRECTORYCHANGES_PATHMATCHER_H
#define TERNFILEMON_DIRECTORYCHANGES_PATHMATCHER_H

namespace tern {

// Resolves the process-wide matcher once (later calls only add a reference to
// the loaded library, which is never freed).
void PrepareWildcardMatcher();
// Uses the resolved matcher; resolves it first if needed.
bool MatchesWildcard(const char* pszName, const char* pszPattern);
// '*' any run, '?' any one byte, every other byte equal.
bool MatchWildcardFallback(const char* pszName, const char* pszPattern);
// True when the matcher in use is PathMatchSpecA.
bool IsUsingPathMatchSpec();

}  // namespace tern

#endif
