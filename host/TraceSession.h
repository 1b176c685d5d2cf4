// --trace: switches the engine's trace on (the registry value
// HKEY_LOCAL_MACHINE\SOFTWARE "AutoTest") and hands every line the process
// writes to the debugger output to the printer. OutputDebugStringA raises
// DBG_PRINTEXCEPTION_C when no debugger is attached; a vectored exception
// handler sees the text there and lets the writer continue.
#ifndef TERNFILEMON_HOST_TRACESESSION_H
#define TERNFILEMON_HOST_TRACESESSION_H

#include <memory>
#include <string>

namespace tern {

class ReportPrinter;

// The registry switch. Removes the value at the end only when it created it.
class TraceSwitch {
public:
    TraceSwitch() = default;
    ~TraceSwitch() { Restore(); }
    TraceSwitch(const TraceSwitch&) = delete;
    TraceSwitch& operator=(const TraceSwitch&) = delete;

    // Creates the value when it is missing; false with a message when that fails.
    bool TurnOn(std::string& strError);
    void Restore();

    static bool IsValuePresent();

private:
    bool m_bCreated = false;
};

// Hands debugger output to a printer while it lives. One at a time per process.
class DebugOutputReader {
public:
    explicit DebugOutputReader(ReportPrinter& printer);
    ~DebugOutputReader();
    DebugOutputReader(const DebugOutputReader&) = delete;
    DebugOutputReader& operator=(const DebugOutputReader&) = delete;

    bool IsActive() const { return m_hHandler != nullptr; }

private:
    void* m_hHandler;
};

// --trace for one run: the switch turned on and its lines read until the end.
class TraceSession {
public:
    explicit TraceSession(ReportPrinter& printer) : m_printer(printer) {}
    // False with a message when the switch cannot be set.
    bool Start(std::string& strError);

private:
    ReportPrinter& m_printer;
    TraceSwitch m_switch;
    // Declared after the switch: stops reading before the switch is restored.
    std::unique_ptr<DebugOutputReader> m_pReader;
};

}  // namespace tern

#endif
