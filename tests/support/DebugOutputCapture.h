// Reads what the process writes with OutputDebugStringA. Under Wine (and on
// Windows without a debugger) OutputDebugStringA raises DBG_PRINTEXCEPTION_C;
// a vectored handler sees the text and lets execution continue.
#ifndef TERNFILEMON_TESTS_DEBUGOUTPUTCAPTURE_H
#define TERNFILEMON_TESTS_DEBUGOUTPUTCAPTURE_H

#include <string>
#include <vector>

namespace terntest {

// Captures debugger output from every thread of the process while it lives.
// One capture at a time.
class DebugOutputCapture {
public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Number of captured lines that contain the text.
    size_t Count(const std::string& strText) const;
    // Waits up to nTimeoutMs for a line that contains the text.
    bool WaitFor(const std::string& strText, unsigned long nTimeoutMs) const;
    void Clear();

private:
    void* m_hHandler;
};

}  // namespace terntest

#endif
