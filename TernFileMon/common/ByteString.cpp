#include "ByteString.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace tern {

namespace {
int LowerByte(char ch) { return std::tolower(static_cast<unsigned char>(ch)); }
}  // namespace

int CompareNoCase(const ByteString& strLeft, const ByteString& strRight) {
    const size_t nCommon = strLeft.size() < strRight.size() ? strLeft.size() : strRight.size();
    for (size_t i = 0; i < nCommon; ++i) {
        const int nDiff = LowerByte(strLeft[i]) - LowerByte(strRight[i]);
        if (nDiff != 0) return nDiff;
    }
    if (strLeft.size() == strRight.size()) return 0;
    return strLeft.size() < strRight.size() ? -1 : 1;
}

bool EqualsNoCase(const ByteString& strLeft, const ByteString& strRight) {
    return strLeft.size() == strRight.size() && CompareNoCase(strLeft, strRight) == 0;
}

void MakeLowerInPlace(ByteString& str) {
    for (char& ch : str) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
}

void MakeUpperInPlace(ByteString& str) {
    for (char& ch : str) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
}

ByteString FormatTruncated(size_t nBufferSize, const char* pszFormat, ...) {
    if (nBufferSize == 0 || pszFormat == nullptr) return ByteString();
    std::vector<char> buffer(nBufferSize, '\0');
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(buffer.data(), buffer.size(), pszFormat, args);
    va_end(args);
    return ByteString(buffer.data());
}

}  // namespace tern
