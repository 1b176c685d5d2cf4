// The fourth export of TernFileMon.dll (ordinal 4): the health counters.
#include "../DirectoryChanges/Trace.h"
#include "../DirectoryChanges/WatchHealth.h"
#include "../include/TernFileMonHealth.h"

// The record's layout is part of the interface: the same on both pointer sizes.
static_assert(sizeof(TernHealthCounters) == 8 * (13 + TERN_LOSS_KIND_SLOTS),
              "TernHealthCounters has fixed-width fields only");
static_assert(sizeof(TernHealthRoot) == TERN_HEALTH_TEXT_BYTES + 8 + sizeof(TernHealthCounters),
              "TernHealthRoot has no padding");
static_assert(sizeof(TernHealthRecord) == 16 + sizeof(TernHealthCounters) + TERN_HEALTH_TEXT_BYTES +
                                              TERN_HEALTH_MAX_ROOTS * sizeof(TernHealthRoot),
              "TernHealthRecord has no padding");

extern "C" int TERN_CALLBACK GetHealthCounters(TernHealthRecord* pRecord) {
    if (pRecord == nullptr) return TERN_HEALTH_NULL_RECORD;
    if (pRecord->cbSize < sizeof(TernHealthRecord)) return TERN_HEALTH_SHORT_RECORD;
    try {
        tern::CHealthRegistry::Instance().Snapshot(*pRecord);
    } catch (...) {
        // Copying fixed-size counters raises nothing; an export never lets anything out.
        TERN_TRACE("GetHealthCounters Exception");
        return ERROR_INTERNAL_ERROR;
    }
    return TERN_HEALTH_OK;
}
