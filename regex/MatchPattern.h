// regex.dll: the wildcard matcher that TernFileMon's rule matching loads at run
// time from the host executable's directory. One export:
//
//   int __cdecl MatchPattern(const char* pszPattern, const char* pszText);
//
// Non-zero when the text matches the pattern, 0 otherwise (also when either
// pointer is null or the pattern is empty).
//
// Pattern language
//   *      any run of characters, the empty run included; it also runs across
//          backslashes, so "d:\docs\*.doc" matches documents in subfolders too.
//   ?      exactly one character (never a missing one).
//   other  the character itself. There is no escape and no character class:
//          "[", "]" and "\" are ordinary characters.
//   Letter case does not matter for the ASCII letters A-Z and a-z; every other
//   byte (digits, punctuation, the bytes of multi-byte characters) must be
//   equal. The texts are bytes in the ANSI code page, compared byte by byte.
//
// What the pattern is compared with
//   A pattern WITHOUT a backslash names a file: it is matched against the file
//   name of the text, the part after the text's last backslash (the whole text
//   when it has none). "*.doc" therefore matches "report.doc" and
//   "C:\work\report.doc", but "a*" does not match "C:\x\b.txt".
//   A pattern WITH a backslash names a path: it is matched against the whole
//   text, so it matches full paths only. "?:\temp\*" matches "C:\Temp\a.txt"
//   and "D:\temp\sub\b.txt", but not "a.txt".
//
// The matcher never recurses and needs no memory: time is at most the product
// of the two lengths, whatever the input.
#ifndef TERNFILEMON_REGEX_MATCHPATTERN_H
#define TERNFILEMON_REGEX_MATCHPATTERN_H

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl MatchPattern(const char* pszPattern, const char* pszText);

typedef int(__cdecl* PFN_MatchPattern)(const char* pszPattern, const char* pszText);

#ifdef __cplusplus
}
#endif

#endif
