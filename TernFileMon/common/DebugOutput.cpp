#include "DebugOutput.h"

#include <process.h>

#include <memory>
#include <new>
#include <utility>

namespace tern {

namespace {

// What a queued line counts against the capacity: its text and its slot.
size_t QueuedCost(const std::string& strLine) { return strLine.size() + sizeof(std::string); }

// What the starter hands the thread; the thread owns it.
struct WriterStart {
    CDebugOutputWriter* pWriter;
    UniqueModule hModule;  // keeps this library loaded while the thread runs
};

// The library's writer, at namespace scope: a function-local static's
// initialisation guard would make the threading runtime adopt a thread per load.
CDebugOutputWriter g_debugOutput;

}  // namespace

CDebugOutputWriter::CDebugOutputWriter(size_t nCapacityBytes) : m_nCapacityBytes(nCapacityBytes) {}

void CDebugOutputWriter::BeginUse() {
    ScopedLock lock(m_cs);
    ++m_nUsers;
    // A thread still writing what an earlier user left goes on serving.
    m_bEnding = false;
}

bool CDebugOutputWriter::EndUse(DWORD dwTimeoutMs) {
    // The thread's handle stays with the writer while it is waited for (a new
    // user may take the same thread over meanwhile); the wait is on a copy.
    UniqueHandle hWait;
    unsigned long nGeneration = 0;
    {
        ScopedLock lock(m_cs);
        if (m_nUsers > 0) --m_nUsers;
        if (m_nUsers > 0) return true;
        m_bEnding = true;
        m_cvLines.WakeAll();
        if (!m_hThread) return true;
        const HANDLE hProcess = ::GetCurrentProcess();
        if (!::DuplicateHandle(hProcess, m_hThread.Get(), hProcess, hWait.Put(), SYNCHRONIZE, FALSE, 0)) {
            return false;
        }
        nGeneration = m_nGeneration;
    }
    // Bounded: a thread held longer keeps its own reference to the library and
    // ends by itself once it can write again; a later EndUse or start closes
    // its handle.
    if (::WaitForSingleObject(hWait.Get(), dwTimeoutMs) != WAIT_OBJECT_0) return false;
    ScopedLock lock(m_cs);
    if (m_nGeneration == nGeneration) m_hThread.Reset();
    return true;
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
            if (m_bRunning || (m_nUsers > 0 && StartThreadLocked())) {
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
    std::unique_ptr<WriterStart> pStart(new (std::nothrow) WriterStart{this, UniqueModule()});
    if (pStart == nullptr) return false;
    pStart->hModule = ReferenceModuleContaining(&g_debugOutput);
    const uintptr_t nThread = _beginthreadex(nullptr, 0, &CDebugOutputWriter::ThreadProc,
                                             pStart.get(), 0, nullptr);
    if (nThread == 0) return false;
    pStart.release();  // the thread's now
    // An older thread's handle (one whose end nobody saw) is let go here.
    m_hThread.Reset(reinterpret_cast<HANDLE>(nThread));
    ++m_nGeneration;
    m_bRunning = true;
    m_bEnding = false;
    return true;
}

void CDebugOutputWriter::WriteQueuedLines() {
    std::string strLine;
    for (;;) {
        {
            ScopedLock lock(m_cs);
            while (m_lines.empty() && !m_bEnding) m_cvLines.Wait(m_cs, INFINITE);
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

unsigned __stdcall CDebugOutputWriter::ThreadProc(void* pParam) {
    WriterStart* pStart = static_cast<WriterStart*>(pParam);
    CDebugOutputWriter* pWriter = pStart->pWriter;
    const HMODULE hModule = pStart->hModule.Release();
    delete pStart;
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
    if (hModule != nullptr) ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

void WriteDebugLine(const char* pszLine) { g_debugOutput.Write(pszLine); }
void BeginDebugOutputUse() { g_debugOutput.BeginUse(); }
bool EndDebugOutputUse() { return g_debugOutput.EndUse(); }

}  // namespace tern
