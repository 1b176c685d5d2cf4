// The directory change engine's diagnostic trace: one line per message to the
// debugger output, written only while HKLM\SOFTWARE has a value "AutoTest".
#ifndef TERNFILEMON_DIRECTORYCHANGES_TRACE_H
#define TERNFILEMON_DIRECTORYCHANGES_TRACE_H

namespace tern {

// The source name every engine trace line carries.
constexpr const char kTraceSource[] = "DirectoryChanges";

// Writes "<local time> [TernFileMon] <message> [line]:<line> [source]:<source>\r\n".
// The registry gate is read on every call, so tracing can be switched on and off
// while the component runs. Never fails towards the caller. Callable from any thread.
void WriteTrace(const char* pszMessage, int nLine, const char* pszSource);

}  // namespace tern

// Trace from an engine source line.
#define TERN_TRACE(message) ::tern::WriteTrace((message), __LINE__, ::tern::kTraceSource)
// Trace with a Win32 error code in the line field instead of the source line.
#define TERN_TRACE_CODE(message, code) \
    ::tern::WriteTrace((message), static_cast<int>(code), ::tern::kTraceSource)

#endif
