// The recording of ternwatch --record: JSON Lines, one object per note the
// component's policy handlers received (SetPolicyRecorder), and a "setup"
// line before the first note and whenever the installation folder or the
// roots watched for usb change:
//
//   {"kind":"setup","installRoot":"c:","usbRoots":"E:\\"}
//   {"kind":"added","handler":3,"monitor":"local","time":1796570373,"us":412,
//    "path":"D:\\d\\a.txt","copySource":""}
//
// Paths are bytes: every byte above 0x7F is written as one \u0080..\u00ff
// escape, so a replay gets them back exactly as the handler received them.
#ifndef TERNFILEMON_HOST_RECORDFILE_H
#define TERNFILEMON_HOST_RECORDFILE_H

#include <cstdio>
#include <string>

#include "TernFileMonReplay.h"

namespace tern {

// Writes notes as they come; only the component's notification thread calls
// Write. Notes about the recording file itself are left out: on a watched
// drive each note written would otherwise make another.
class RecordWriter {
public:
    RecordWriter() = default;
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    bool Open(const std::string& strFile, std::string& strError);
    void Write(const TernPolicyNote& note);

private:
    bool IsAboutRecording(const TernPolicyNote& note) const;

    std::FILE* m_pFile = nullptr;
    std::string m_strOwnPath;  // the recording's full path
    bool m_bSetupWritten = false;
    std::string m_strInstallRoot, m_strUsbRoots;
};

// Reads a recording back note by note, with bounded cost per line: a line
// over MAX_LINE_BYTES or a path over MAX_PATH - 1 bytes is refused.
class RecordReader {
public:
    static constexpr size_t MAX_LINE_BYTES = 8192;

    // Reads from pFile (not owned); strName names the file in errors.
    RecordReader(std::FILE* pFile, std::string strName);

    // The next note; false at the end of the file or at a malformed line,
    // after which Error() is "FILE:LINE: what is wrong" (empty at the end).
    bool Next();
    const TernPolicyNote& Note() const { return m_note; }
    const std::string& Error() const { return m_strError; }

private:
    // 0: a note, 1: a setup line or a blank line, -1: malformed (m_strError set).
    int ReadLine(const std::string& strLine);
    bool ReadWholeLine(std::string& strLine, bool& bTooLong);

    std::FILE* const m_pFile;
    const std::string m_strName;
    unsigned long m_nLine = 0;
    std::string m_strError;
    std::string m_strInstallRoot, m_strUsbRoots;
    std::string m_strPath, m_strNewPath, m_strCopySource;
    TernPolicyNote m_note = {};
};

}  // namespace tern

#endif
