// Timing for the figures that benchmarks print (never asserted on).
#ifndef TERNFILEMON_BENCH_STOPWATCH_H
#define TERNFILEMON_BENCH_STOPWATCH_H

#include <functional>

namespace terntest {

// Calls fnCall nCalls times and returns the mean microseconds per call.
double MicrosecondsPerCall(int nCalls, const std::function<void()>& fnCall);

}  // namespace terntest

#endif
