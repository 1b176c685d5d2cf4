#include "HealthStats.h"

#include "EventFormat.h"

namespace tern {

namespace {

std::string Number(std::uint64_t n) { return std::to_string(n); }

std::string CountersText(const TernHealthCounters& c) {
    return "reads " + Number(c.nReadsCompleted) + " (empty " + Number(c.nEmptyCompletions) +
           "), decoded " + Number(c.nRecordsDecoded) + ", notifications posted " +
           Number(c.nNotificationsPosted) + " dispatched " + Number(c.nNotificationsDispatched) +
           " discarded " + Number(c.nNotificationsDiscarded) + ", queue " + Number(c.nQueueDepth) +
           " (max " + Number(c.nQueueDepthHighest) + "), reports offered " +
           Number(c.nReportsOffered) + ": usb " + Number(c.nReportsDeliveredUsb) + ", local " +
           Number(c.nReportsDeliveredLocal) + ", rejected " + Number(c.nReportsRejected) + "; " +
           LossSummary(c) + "; busiest " + Number(c.nBusiestCostMicroseconds) + " us";
}

std::string CountersJson(const TernHealthCounters& c) {
    std::string strLost;
    for (unsigned i = 0; i < TERN_LOSS_KIND_COUNT; ++i) {
        strLost += std::string(i == 0 ? "" : ",") + "\"" + TernLossKindName(i) + "\":" + Number(c.nLost[i]);
    }
    return "{\"readsCompleted\":" + Number(c.nReadsCompleted) +
           ",\"emptyCompletions\":" + Number(c.nEmptyCompletions) +
           ",\"recordsDecoded\":" + Number(c.nRecordsDecoded) +
           ",\"notificationsPosted\":" + Number(c.nNotificationsPosted) +
           ",\"notificationsDispatched\":" + Number(c.nNotificationsDispatched) +
           ",\"notificationsDiscarded\":" + Number(c.nNotificationsDiscarded) +
           ",\"queueDepth\":" + Number(c.nQueueDepth) +
           ",\"queueDepthHighest\":" + Number(c.nQueueDepthHighest) +
           ",\"reportsOffered\":" + Number(c.nReportsOffered) +
           ",\"reportsDeliveredUsb\":" + Number(c.nReportsDeliveredUsb) +
           ",\"reportsDeliveredLocal\":" + Number(c.nReportsDeliveredLocal) +
           ",\"reportsRejected\":" + Number(c.nReportsRejected) +
           ",\"busiestMicroseconds\":" + Number(c.nBusiestCostMicroseconds) + ",\"lost\":{" +
           strLost + "}}";
}

// The record's texts are NUL-terminated within their field; a hostile or
// damaged record without the NUL is read up to the field's end.
std::string FieldText(const char (&szField)[TERN_HEALTH_TEXT_BYTES]) {
    size_t nLength = 0;
    while (nLength < TERN_HEALTH_TEXT_BYTES && szField[nLength] != '\0') ++nLength;
    return std::string(szField, nLength);
}

unsigned RootCount(const TernHealthRecord& record) {
    return record.nRootCount < TERN_HEALTH_MAX_ROOTS ? record.nRootCount : TERN_HEALTH_MAX_ROOTS;
}

}  // namespace

std::string LossSummary(const TernHealthCounters& counters) {
    std::uint64_t nTotal = 0;
    std::string strKinds;
    for (unsigned i = 0; i < TERN_LOSS_KIND_COUNT; ++i) {
        if (counters.nLost[i] == 0) continue;
        nTotal += counters.nLost[i];
        strKinds += std::string(strKinds.empty() ? ": " : ", ") + TernLossKindName(i) + " " +
                    Number(counters.nLost[i]);
    }
    return "lost " + Number(nTotal) + strKinds;
}

std::vector<std::string> FormatStatsReadable(const TernHealthRecord& record) {
    std::vector<std::string> vecLines;
    std::string strTotal = "stats total: " + CountersText(record.total);
    const std::string strBusiest = FieldText(record.szBusiestPath);
    if (!strBusiest.empty()) strTotal += " (" + strBusiest + ")";
    vecLines.push_back(strTotal);
    for (unsigned i = 0; i < RootCount(record); ++i) {
        const TernHealthRoot& root = record.aRoots[i];
        if (root.counters.nReadsCompleted == 0 && root.nActiveWatches == 0) continue;
        vecLines.push_back("stats " + FieldText(root.szRoot) +
                           (root.nActiveWatches != 0 ? "" : " (not watched)") + ": " +
                           CountersText(root.counters));
    }
    return vecLines;
}

std::string FormatStatsJson(const TernHealthRecord& record) {
    std::string strRoots;
    for (unsigned i = 0; i < RootCount(record); ++i) {
        const TernHealthRoot& root = record.aRoots[i];
        strRoots += std::string(i == 0 ? "" : ",") + "{\"root\":" + JsonQuote(FieldText(root.szRoot)) +
                    ",\"watching\":" + (root.nActiveWatches != 0 ? "true" : "false") +
                    ",\"counters\":" + CountersJson(root.counters) + "}";
    }
    return "{\"stats\":{\"total\":" + CountersJson(record.total) +
           ",\"busiestPath\":" + JsonQuote(FieldText(record.szBusiestPath)) +
           ",\"rootsOmitted\":" + Number(record.nRootsOmitted) + ",\"roots\":[" + strRoots + "]}}";
}

}  // namespace tern
