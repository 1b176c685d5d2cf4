// The component's trace, switched on and read: the trace switch is the
// HKLM\SOFTWARE value "AutoTest", and the trace goes out with
// OutputDebugStringA, which under Wine (and on Windows without a debugger)
// raises DBG_PRINTEXCEPTION_C; a vectored handler sees the text and lets
// execution continue.
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
    void Clear();

private:
    void* m_hHandler;
};

// Creates and removes the trace switch; true when done.
bool SetAutoTestValue();
bool DeleteAutoTestValue();

}  // namespace terntest

#endif
