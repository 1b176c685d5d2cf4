// Latency percentiles of a benchmark's samples, shared by the benchmarks.
#ifndef TERNFILEMON_BENCH_PERCENTILES_H
#define TERNFILEMON_BENCH_PERCENTILES_H

#include <algorithm>
#include <vector>

struct Percentiles {
    double dP50Ms = 0, dP99Ms = 0;
    size_t nSamples = 0;
};

// Nearest-rank p50 and p99 of samples given in microseconds, in milliseconds.
inline Percentiles PercentilesOf(std::vector<long long> samplesUs) {
    Percentiles result;
    result.nSamples = samplesUs.size();
    if (samplesUs.empty()) return result;
    std::sort(samplesUs.begin(), samplesUs.end());
    auto at = [&](double dQuantile) {
        const size_t nIndex = std::min(samplesUs.size() - 1,
                                       static_cast<size_t>(dQuantile * (samplesUs.size() - 1) + 0.5));
        return static_cast<double>(samplesUs[nIndex]) / 1000.0;
    };
    result.dP50Ms = at(0.50);
    result.dP99Ms = at(0.99);
    return result;
}

#endif
