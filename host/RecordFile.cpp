#include "RecordFile.h"

#include <windows.h>

#include <cctype>
#include <map>

#include "EventFormat.h"

namespace tern {

namespace {

// ISO 8859-1: byte 0xXX is U+00XX, so JsonQuote writes one \u00XX per byte.
constexpr UINT BYTE_CODE_PAGE = 28591;
constexpr size_t MAX_PATH_BYTES = MAX_PATH - 1;
constexpr size_t MAX_ROOTS_BYTES = 26 * 4;

const char* const kKindNames[] = {"", "added", "removed", "modified", "renamed"};

const char* KindName(std::uint32_t nKind) {
    return nKind >= TERN_NOTE_ADDED && nKind <= TERN_NOTE_RENAMED ? kKindNames[nKind] : "unknown";
}

const char* MonitorName(std::int32_t nType) {
    return nType == FILEMON_USB ? "usb" : nType == FILEMON_LOCAL ? "local" : "none";
}

std::string Quote(const char* pszText) { return JsonQuote(pszText != nullptr ? pszText : "", BYTE_CODE_PAGE); }

struct JsonValue {
    bool bString = false;
    std::string strText;
    long long nNumber = 0;
};
typedef std::map<std::string, JsonValue> JsonObject;

// One JSON object of string and whole-number values on one line: all a
// recording holds. Strings are bytes; an escape above \u00ff is refused.
class FlatJsonParser {
public:
    explicit FlatJsonParser(const std::string& strLine) : m_strLine(strLine) {}

    bool Parse(JsonObject& object, std::string& strError) {
        if (!Expect('{', strError)) return false;
        if (Peek() == '}') {
            ++m_nPos;
            return AtEnd(strError);
        }
        for (;;) {
            std::string strKey;
            JsonValue value;
            if (!Expect('"', strError) || !ParseString(strKey, strError) || !Expect(':', strError)) return false;
            if (!ParseValue(strKey, value, strError)) return false;
            object[strKey] = value;
            const char ch = Peek();
            ++m_nPos;
            if (ch == '}') return AtEnd(strError);
            if (ch != ',') return Fail("expected , or } after field \"" + strKey + "\"", strError);
        }
    }

private:
    char Peek() {
        while (m_nPos < m_strLine.size() && std::isspace(static_cast<unsigned char>(m_strLine[m_nPos]))) ++m_nPos;
        return m_nPos < m_strLine.size() ? m_strLine[m_nPos] : '\0';
    }
    static bool Fail(const std::string& strWhat, std::string& strError) {
        strError = "not a recording line: " + strWhat;
        return false;
    }
    bool Expect(char ch, std::string& strError) {
        if (Peek() != ch) return Fail(std::string("expected ") + ch + " at column " + std::to_string(m_nPos + 1), strError);
        ++m_nPos;
        return true;
    }
    bool AtEnd(std::string& strError) {
        return Peek() == '\0' || Fail("text after the object at column " + std::to_string(m_nPos + 1), strError);
    }
    bool ParseValue(const std::string& strKey, JsonValue& value, std::string& strError) {
        const char ch = Peek();
        if (ch == '"') {
            ++m_nPos;
            value.bString = true;
            return ParseString(value.strText, strError);
        }
        size_t nEnd = m_nPos + (ch == '-' ? 1 : 0);
        const size_t nDigits = nEnd;
        while (nEnd < m_strLine.size() && std::isdigit(static_cast<unsigned char>(m_strLine[nEnd]))) ++nEnd;
        if (nEnd == nDigits || nEnd - nDigits > 18) {
            return Fail("field \"" + strKey + "\" is neither a string nor a whole number", strError);
        }
        value.nNumber = std::stoll(m_strLine.substr(m_nPos, nEnd - m_nPos));
        m_nPos = nEnd;
        return true;
    }
    bool ParseString(std::string& strOut, std::string& strError) {
        while (m_nPos < m_strLine.size()) {
            const char ch = m_strLine[m_nPos++];
            if (ch == '"') return true;
            if (static_cast<unsigned char>(ch) < 0x20) return Fail("control character in a string", strError);
            if (ch != '\\') {
                strOut += ch;
                continue;
            }
            if (m_nPos >= m_strLine.size()) break;
            const char chEscape = m_strLine[m_nPos++];
            const char* const pszSimple = "\"\\/bfnrt";
            const char* const pszMeaning = "\"\\/\b\f\n\r\t";
            for (int i = 0; pszSimple[i] != '\0'; ++i) {
                if (chEscape == pszSimple[i]) strOut += pszMeaning[i];
            }
            if (chEscape == 'u') {
                const std::string strHex = m_strLine.substr(m_nPos, 4);
                if (strHex.size() != 4 || strHex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    return Fail("bad \\u escape", strError);
                }
                const unsigned long nUnit = std::stoul(strHex, nullptr, 16);
                if (nUnit > 0xFF) return Fail("\\u" + strHex + " is not a byte (\\u0000 to \\u00ff)", strError);
                strOut += static_cast<char>(nUnit);
                m_nPos += 4;
            } else if (std::string(pszSimple).find(chEscape) == std::string::npos) {
                return Fail(std::string("bad escape \\") + chEscape, strError);
            }
        }
        return Fail("unterminated string", strError);
    }

    const std::string& m_strLine;
    size_t m_nPos = 0;
};

bool StringField(const JsonObject& object, const char* pszKey, size_t nMaxBytes, std::string& strOut,
                 std::string& strError) {
    const auto it = object.find(pszKey);
    if (it == object.end()) {
        strError = std::string("missing field \"") + pszKey + "\"";
    } else if (!it->second.bString) {
        strError = std::string("field \"") + pszKey + "\" must be a string";
    } else if (it->second.strText.size() > nMaxBytes) {
        strError = std::string("field \"") + pszKey + "\" is longer than " + std::to_string(nMaxBytes) + " bytes";
    } else {
        strOut = it->second.strText;
        return true;
    }
    return false;
}

bool NumberField(const JsonObject& object, const char* pszKey, long long nMin, long long& nOut,
                 std::string& strError) {
    const auto it = object.find(pszKey);
    if (it == object.end()) {
        strError = std::string("missing field \"") + pszKey + "\"";
    } else if (it->second.bString || it->second.nNumber < nMin) {
        strError = std::string("field \"") + pszKey + "\" must be a whole number from " + std::to_string(nMin);
    } else {
        nOut = it->second.nNumber;
        return true;
    }
    return false;
}

}  // namespace

RecordWriter::~RecordWriter() {
    if (m_pFile != nullptr) std::fclose(m_pFile);
}

bool RecordWriter::Open(const std::string& strFile, std::string& strError) {
    m_pFile = std::fopen(strFile.c_str(), "wb");
    if (m_pFile == nullptr) {
        strError = "cannot write the recording " + strFile;
        return false;
    }
    char szFull[MAX_PATH] = {};
    const DWORD nLength = ::GetFullPathNameA(strFile.c_str(), MAX_PATH, szFull, nullptr);
    m_strOwnPath = nLength > 0 && nLength < MAX_PATH ? szFull : strFile;
    return true;
}

bool RecordWriter::IsAboutRecording(const TernPolicyNote& note) const {
    for (const char* pszPath : {note.pszPath, note.pszNewPath}) {
        if (pszPath != nullptr && ::lstrcmpiA(pszPath, m_strOwnPath.c_str()) == 0) return true;
    }
    return false;
}

void RecordWriter::Write(const TernPolicyNote& note) {
    if (m_pFile == nullptr || IsAboutRecording(note)) return;
    const std::string strInstallRoot = note.pszInstallRoot != nullptr ? note.pszInstallRoot : "";
    const std::string strUsbRoots = note.pszUsbRoots != nullptr ? note.pszUsbRoots : "";
    std::string strLines;
    if (!m_bSetupWritten || strInstallRoot != m_strInstallRoot || strUsbRoots != m_strUsbRoots) {
        strLines = "{\"kind\":\"setup\",\"installRoot\":" + Quote(strInstallRoot.c_str()) +
                   ",\"usbRoots\":" + Quote(strUsbRoots.c_str()) + "}\n";
        m_bSetupWritten = true;
        m_strInstallRoot = strInstallRoot;
        m_strUsbRoots = strUsbRoots;
    }
    strLines += std::string("{\"kind\":\"") + KindName(note.nKind) + "\",\"handler\":" + std::to_string(note.nHandler) +
                ",\"monitor\":\"" + MonitorName(note.nMonitorType) + "\",\"time\":" + std::to_string(note.tTime) +
                ",\"us\":" + std::to_string(note.nMicroseconds) + ",\"path\":" + Quote(note.pszPath);
    if (note.nKind == TERN_NOTE_RENAMED) strLines += ",\"newPath\":" + Quote(note.pszNewPath);
    if (note.pszCopySource != nullptr) strLines += ",\"copySource\":" + Quote(note.pszCopySource);
    strLines += "}\n";
    // Flushed per note: a recording cut short by a crash keeps what came before.
    std::fwrite(strLines.data(), 1, strLines.size(), m_pFile);
    std::fflush(m_pFile);
}

RecordReader::RecordReader(std::FILE* pFile, std::string strName) : m_pFile(pFile), m_strName(std::move(strName)) {}

bool RecordReader::ReadWholeLine(std::string& strLine, bool& bTooLong) {
    strLine.clear();
    bTooLong = false;
    int ch = std::fgetc(m_pFile);
    if (ch == EOF) return false;
    for (; ch != EOF && ch != '\n'; ch = std::fgetc(m_pFile)) {
        if (strLine.size() < MAX_LINE_BYTES) {
            strLine += static_cast<char>(ch);
        } else {
            bTooLong = true;
        }
    }
    if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
    return true;
}

bool RecordReader::Next() {
    m_strError.clear();
    std::string strLine;
    bool bTooLong = false;
    while (ReadWholeLine(strLine, bTooLong)) {
        ++m_nLine;
        const int nResult = bTooLong ? -1 : ReadLine(strLine);
        if (bTooLong) m_strError = "longer than " + std::to_string(MAX_LINE_BYTES) + " bytes";
        if (nResult == 0) return true;
        if (nResult < 0) {
            m_strError = m_strName + ":" + std::to_string(m_nLine) + ": " + m_strError;
            return false;
        }
    }
    return false;
}

int RecordReader::ReadLine(const std::string& strLine) {
    if (strLine.find_first_not_of(" \t") == std::string::npos) return 1;
    JsonObject object;
    std::string strKind;
    if (!FlatJsonParser(strLine).Parse(object, m_strError) || !StringField(object, "kind", 16, strKind, m_strError)) {
        return -1;
    }
    if (strKind == "setup") {
        return StringField(object, "installRoot", MAX_PATH_BYTES, m_strInstallRoot, m_strError) &&
                       StringField(object, "usbRoots", MAX_ROOTS_BYTES, m_strUsbRoots, m_strError)
                   ? 1
                   : -1;
    }
    std::uint32_t nKind = TERN_NOTE_ADDED;
    while (nKind <= TERN_NOTE_RENAMED && strKind != kKindNames[nKind]) ++nKind;
    if (nKind > TERN_NOTE_RENAMED) {
        m_strError = "unknown kind \"" + strKind + "\" (added, removed, modified, renamed or setup)";
        return -1;
    }
    long long nHandler = 0, nTime = 0, nMicroseconds = 0;
    std::string strMonitor;
    if (!NumberField(object, "handler", 1, nHandler, m_strError) || !NumberField(object, "time", -1, nTime, m_strError) ||
        !StringField(object, "monitor", 8, strMonitor, m_strError) ||
        !StringField(object, "path", MAX_PATH_BYTES, m_strPath, m_strError)) {
        return -1;
    }
    if (nHandler > 0xFFFFFFFFLL) {
        m_strError = "field \"handler\" is too large";
        return -1;
    }
    if (strMonitor != "usb" && strMonitor != "local" && strMonitor != "none") {
        m_strError = "field \"monitor\" must be usb, local or none";
        return -1;
    }
    m_strNewPath.clear();
    if (nKind == TERN_NOTE_RENAMED && !StringField(object, "newPath", MAX_PATH_BYTES, m_strNewPath, m_strError)) return -1;
    const bool bHasCopySource = object.count("copySource") != 0;
    if (bHasCopySource && !StringField(object, "copySource", MAX_PATH_BYTES, m_strCopySource, m_strError)) return -1;
    if (object.count("us") != 0 && !NumberField(object, "us", 0, nMicroseconds, m_strError)) return -1;

    m_note = TernPolicyNote();
    m_note.cbSize = sizeof(m_note);
    m_note.nKind = nKind;
    m_note.nHandler = static_cast<std::uint32_t>(nHandler);
    m_note.nMonitorType = strMonitor == "usb" ? FILEMON_USB : strMonitor == "local" ? FILEMON_LOCAL : 0;
    m_note.tTime = nTime;
    m_note.nMicroseconds = static_cast<std::uint64_t>(nMicroseconds);
    m_note.pszPath = m_strPath.c_str();
    m_note.pszNewPath = m_strNewPath.c_str();
    m_note.pszCopySource = bHasCopySource ? m_strCopySource.c_str() : nullptr;
    m_note.pszUsbRoots = m_strUsbRoots.c_str();
    m_note.pszInstallRoot = m_strInstallRoot.c_str();
    return 0;
}

}  // namespace tern
