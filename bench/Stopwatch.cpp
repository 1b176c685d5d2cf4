#include "Stopwatch.h"

#include <windows.h>

namespace terntest {

double MicrosecondsPerCall(int nCalls, const std::function<void()>& fnCall) {
    if (nCalls <= 0) return 0.0;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < nCalls; ++i) fnCall();
    ::QueryPerformanceCounter(&end);
    return 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart) / nCalls;
}

}  // namespace terntest
