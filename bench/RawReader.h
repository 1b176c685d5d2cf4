// What the benchmarks share: a microsecond clock, the index of a benchmark
// file from its name, and the raw reader they compare the component with.
#ifndef TERNFILEMON_BENCH_RAWREADER_H
#define TERNFILEMON_BENCH_RAWREADER_H

#include <windows.h>

#include <string>
#include <vector>

#include "../TernFileMon/common/Win32Handles.h"

namespace bench {

constexpr DWORD kChangeMask = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                              FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE;

// Microseconds on the performance counter.
long long NowUs();

// The index of a benchmark file, from a path or name ending in "f<5 digits>.dat"
// or "g<5 digits>.dat" (a renamed one), when below nLimit; else -1.
int FileIndex(const char* pszPath, int nLimit);

// What a raw reader tells of each completed read.
class RawSink {
public:
    virtual ~RawSink() = default;
    // One record; the name is relative to the watched directory, in the ANSI code page.
    virtual void OnRecord(DWORD dwAction, const char* pszName) = 0;
    // A read that completed with no records: the buffer overflowed.
    virtual void OnOverflow() = 0;
};

// The plainest correct use of ReadDirectoryChangesW: one overlapped read on a
// completion port of its own, re-issued right after each completion (before
// the records are parsed, from a copy), on a thread of its own.
class RawReader {
public:
    RawReader(const std::string& strDirectory, DWORD nBufferSize, RawSink& sink);
    ~RawReader();
    RawReader(const RawReader&) = delete;
    RawReader& operator=(const RawReader&) = delete;

    bool IsRunning() const { return m_hThread.IsValid(); }
    HANDLE Thread() const { return m_hThread.Get(); }

private:
    bool Issue();
    static DWORD WINAPI ThreadProc(LPVOID pParam);
    void Run();
    void Parse(DWORD nBytes);

    RawSink& m_sink;
    // Declared before the handles, so that they outlive the directory: its
    // close completes the outstanding read into them.
    OVERLAPPED m_overlapped{};
    std::vector<DWORD> m_buffer;  // DWORD-aligned, as the records need
    std::vector<DWORD> m_copy;
    // Closed in reverse order: the thread's handle, the directory, then its port.
    tern::UniqueHandle m_hPort;
    tern::UniqueHandle m_hDir;
    tern::UniqueHandle m_hThread;
};

}  // namespace bench

#endif
