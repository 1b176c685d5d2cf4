#include "MatchPattern.h"

#include <cstring>

namespace tern {
namespace {

char FoldAsciiCase(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool SameCharacter(char chPattern, char chText) {
    return chPattern == '?' || FoldAsciiCase(chPattern) == FoldAsciiCase(chText);
}

// Greedy wildcard walk: on a mismatch after a '*', the star takes one more
// character and the rest of the pattern is tried again from there. Only the
// last star needs remembering, because an earlier star can never help a later
// mismatch more than the last one can.
bool MatchWildcard(const char* pszPattern, const char* pszText) {
    const char* pszStar = nullptr;
    const char* pszResume = nullptr;
    while (*pszText != '\0') {
        if (*pszPattern == '*') {
            pszStar = ++pszPattern;
            pszResume = pszText;
        } else if (*pszPattern != '\0' && SameCharacter(*pszPattern, *pszText)) {
            ++pszPattern;
            ++pszText;
        } else if (pszStar != nullptr) {
            pszPattern = pszStar;
            pszText = ++pszResume;
        } else {
            return false;
        }
    }
    while (*pszPattern == '*') ++pszPattern;
    return *pszPattern == '\0';
}

const char* FileNamePart(const char* pszText) {
    const char* pszLast = std::strrchr(pszText, '\\');
    return pszLast != nullptr ? pszLast + 1 : pszText;
}

}  // namespace
}  // namespace tern

extern "C" int __cdecl MatchPattern(const char* pszPattern, const char* pszText) {
    if (pszPattern == nullptr || pszText == nullptr || *pszPattern == '\0') return 0;
    const bool bPathPattern = std::strchr(pszPattern, '\\') != nullptr;
    const char* pszSubject = bPathPattern ? pszText : tern::FileNamePart(pszText);
    return tern::MatchWildcard(pszPattern, pszSubject) ? 1 : 0;
}
