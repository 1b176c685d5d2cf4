// ternwatch's view of the component's health counters (GetHealthCounters):
// a readable block, one JSON object, and the losses for the summary line.
#ifndef TERNFILEMON_HOST_HEALTHSTATS_H
#define TERNFILEMON_HOST_HEALTHSTATS_H

#include <string>
#include <vector>

#include "TernFileMonHealth.h"

namespace tern {

// The log lines of lost changes start with this text.
constexpr char LOSS_LINE_PREFIX[] = "Lost changes: ";

// "lost 0", or "lost 5: overflow 4, post-failed 1" (only kinds with losses).
std::string LossSummary(const TernHealthCounters& counters);

// "stats total: ..." and one "stats <root>: ..." line per root that read anything.
std::vector<std::string> FormatStatsReadable(const TernHealthRecord& record);

// {"stats":{"total":{...},"busiestPath":"...","roots":[{"root":"D:\\",...}]}}
std::string FormatStatsJson(const TernHealthRecord& record);

}  // namespace tern

#endif
