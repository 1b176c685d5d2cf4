#include "DebugOutput.h"

#include <new>
#include <utility>

namespace tern {

namespace {

// What a queued line counts against the capacity: its text and its slot.
size_t QueuedCost(const std::string& strLine) { return strLine.size() + sizeof(std::string); }

// The library's writer, at namespace scope: a function-local static's
// initialisation guard would make the threading runtime adopt a thread per load.
CDebugOutputWriter g_debugOutput;

}  // namespace

CDebugOutputWriter::CDebugOutputWriter(size_t nCapacityBytes) : m_nCapacityBytes(nCapacityBytes) {}

void CDebugOutputWriter::BeginUse() {
    ScopedLock lock(m_cs);
    // A thread still writing what an earlier user left goes on serving.
    m_thread.AddUser();
}

bool CDebugOutputWriter::EndUse(DWORD dwTimeoutMs) {
    // The thread's handle stays with the writer while it is waited for (a new
    // user may take the same thread over meanwhile); the wait is on a copy.
    UniqueHandle hWait;
    unsigned long nGeneration = 0;
    {
        ScopedLock lock(m_cs);
        if (!m_thread.RemoveUser()) return true;
        m_cvLines.WakeAll();
        if (!m_thread.TakeWaitCopy(hWait, nGeneration)) return !m_thread.HasThread();
    }
    // Bounded: a thread held longer keeps its own reference to the library and
    // ends by itself once it can write again; a later EndUse or start closes
    // its handle.
    return m_thread.WaitForEnd(hWait, nGeneration, dwTimeoutMs, m_cs);
}

unsigned long CDebugOutputWriter::DroppedLines() const {
    ScopedLock lock(m_cs);
    return m_nDropped;
}

size_t CDebugOutputWriter::PeakQueuedBytes() const {
    ScopedLock lock(m_cs);
    return m_nPeakQueuedBytes;
}

void CDebugOutputWriter::Write(const char* pszLine) {
    if (pszLine == nullptr) return;
    try {
        std::string strLine(pszLine);
        {
            ScopedLock lock(m_cs);
            if (m_bRunning || (m_thread.HasUsers() && StartThreadLocked())) {
                const size_t nCost = QueuedCost(strLine);
                if (!WaitForRoomLocked(nCost)) {
                    ++m_nDropped;
                    return;
                }
                if (m_bRunning) {
                    m_lines.push_back(std::move(strLine));
                    m_nQueuedBytes += nCost;
                    if (m_nQueuedBytes > m_nPeakQueuedBytes) m_nPeakQueuedBytes = m_nQueuedBytes;
                    m_cvLines.WakeOne();
                    return;
                }
                // The thread ended while this one waited: the queue is empty.
            }
        }
        // No thread, and nothing queued: written here, in its place.
        ::OutputDebugStringA(strLine.c_str());
    } catch (const std::bad_alloc&) {
        // No memory for the line: it is lost (and counted), the caller goes on.
        ScopedLock lock(m_cs);
        ++m_nDropped;
    }
}

bool CDebugOutputWriter::WaitForRoomLocked(size_t nBytes) {
    // A line larger than the whole queue still goes, alone.
    while (m_bRunning && m_nQueuedBytes > 0 && m_nQueuedBytes + nBytes > m_nCapacityBytes) {
        if (!m_cvRoom.Wait(m_cs, kFullWaitMs) && m_bRunning && m_nQueuedBytes > 0 &&
            m_nQueuedBytes + nBytes > m_nCapacityBytes) {
            return false;
        }
    }
    return true;
}

bool CDebugOutputWriter::StartThreadLocked() {
    if (!m_thread.Start(&CDebugOutputWriter::ThreadProc, this)) return false;
    m_bRunning = true;
    return true;
}

void CDebugOutputWriter::WriteQueuedLines() {
    std::string strLine;
    for (;;) {
        {
            ScopedLock lock(m_cs);
            while (m_lines.empty() && !m_thread.IsEnding()) m_cvLines.Wait(m_cs, INFINITE);
            if (m_lines.empty()) {
                // Every line handed in has been written: from here on lines
                // are written by their callers.
                m_bRunning = false;
                m_cvRoom.WakeAll();
                return;
            }
            strLine.swap(m_lines.front());
            m_lines.pop_front();
            m_nQueuedBytes -= QueuedCost(strLine);
            m_cvRoom.WakeAll();
        }
        ::OutputDebugStringA(strLine.c_str());
    }
}

void CDebugOutputWriter::ThreadProc(void* pParam) {
    CDebugOutputWriter* pWriter = static_cast<CDebugOutputWriter*>(pParam);
    try {
        pWriter->WriteQueuedLines();
    } catch (...) {
        // Nothing in the loop throws; should it, lines go back to their callers
        // (what was queued is lost) rather than wait for a thread that is gone.
        ::OutputDebugStringA("Debugger output writer ended by an exception");
        ScopedLock lock(pWriter->m_cs);
        pWriter->m_lines.clear();
        pWriter->m_nQueuedBytes = 0;
        pWriter->m_bRunning = false;
        pWriter->m_cvRoom.WakeAll();
    }
}

void WriteDebugLine(const char* pszLine) { g_debugOutput.Write(pszLine); }
void BeginDebugOutputUse() { g_debugOutput.BeginUse(); }
bool EndDebugOutputUse() { return g_debugOutput.EndUse(); }

}  // namespace tern
