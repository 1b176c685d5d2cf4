// The component's debugger output. Every line the library writes with
// OutputDebugStringA goes through WriteDebugLine.
//
// Under Wine (and on Windows whenever a debug monitor may be listening) one
// OutputDebugStringA raises an exception and makes several server round
// trips: tens to hundreds of microseconds, on whatever thread writes. While a
// component object lives, lines are therefore handed to a writer thread of
// the library's own, which writes them one call per line, in the order they
// were handed in, whatever thread handed them in. The text of each line is
// unchanged; only the thread that writes it, and the moment, differ.
#ifndef TERNFILEMON_COMMON_DEBUGOUTPUT_H
#define TERNFILEMON_COMMON_DEBUGOUTPUT_H

#include <windows.h>

#include <deque>
#include <string>

#include "CriticalSection.h"
#include "LibraryThread.h"

namespace tern {

// One writer thread and its bounded queue. The library has one (see
// WriteDebugLine); tests make their own.
//
// Lifecycle: users (component objects) begin and end their use. The thread is
// started by the first line written while there is a user, and is ended by the
// last EndUse, which waits until every queued line has been written and the
// thread is gone (bounded: see EndUse). The thread holds a reference to this
// library and leaves with FreeLibraryAndExitThread, like the library's other
// threads. With no user and no thread running, a line is written at once on
// the calling thread (unit tests, the engine used alone, lines after the last
// user); a line is never written directly while queued lines are still
// waiting, so every line keeps its place.
//
// Full queue (nCapacityBytes of text queued): the writer then runs behind by
// that much, and the line's writer waits for room, at most kFullWaitMs for one
// queued line to be written. Only a writer thread that cannot write at all
// (a debugger that holds it) lets that bound run out: the line is then
// dropped and counted (DroppedLines).
//
// Lock order: m_cs is taken alone; nothing is called under it but the queue's
// own operations and the thread's start.
class CDebugOutputWriter {
public:
    static constexpr size_t kDefaultCapacityBytes = 1024 * 1024;
    static constexpr DWORD kFullWaitMs = 2000;
    static constexpr DWORD kEndWaitMs = 5000;

    explicit CDebugOutputWriter(size_t nCapacityBytes = kDefaultCapacityBytes);
    ~CDebugOutputWriter() = default;
    CDebugOutputWriter(const CDebugOutputWriter&) = delete;
    CDebugOutputWriter& operator=(const CDebugOutputWriter&) = delete;

    // Writes one line (queued or at once, see above). Any thread.
    void Write(const char* pszLine);
    void BeginUse();
    // Ends one use. The last one writes what is queued and ends the thread,
    // waiting at most dwTimeoutMs: true when the thread is gone. When the
    // bound runs out (the thread is held, e.g. by a debugger) the thread is
    // left to finish by itself; it keeps the library loaded until it does.
    bool EndUse(DWORD dwTimeoutMs = kEndWaitMs);
    // Lines dropped because the queue stayed full (see above).
    unsigned long DroppedLines() const;
    // The most text ever queued at once, in the units of nCapacityBytes.
    size_t PeakQueuedBytes() const;

private:
    // m_cs held. False (the caller writes the line itself) when the thread
    // cannot be started.
    bool StartThreadLocked();
    bool WaitForRoomLocked(size_t nBytes);
    static void ThreadProc(void* pParam);
    void WriteQueuedLines();

    const size_t m_nCapacityBytes;
    mutable CriticalSection m_cs;
    ConditionVariable m_cvLines;  // a line was queued, or the thread is to end
    ConditionVariable m_cvRoom;   // a queued line was written, or the thread ended
    std::deque<std::string> m_lines;
    size_t m_nQueuedBytes = 0;
    size_t m_nPeakQueuedBytes = 0;
    bool m_bRunning = false;  // the thread runs and serves the queue
    CLibraryThread m_thread;
    unsigned long m_nDropped = 0;
};

// The library's writer.
void WriteDebugLine(const char* pszLine);
void BeginDebugOutputUse();
bool EndDebugOutputUse();

// A component object's use of the library's writer, for the object's life.
using CDebugOutputUse = CLibraryServiceUse<&BeginDebugOutputUse, &EndDebugOutputUse>;

}  // namespace tern

#endif
