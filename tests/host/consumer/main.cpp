// A minimal host: loads TernFileMon.dll from its own folder, prints every
// report about the local fixed disks for N seconds, and releases the component.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "TernFileMon.h"

// Runs on the component's notification thread; the record lives only during the call.
static void TERN_CALLBACK OnReport(FileMonEvent* pEvent) {
    std::printf("%s %s %s [%s]\n", pEvent->strTime.c_str(), pEvent->strAction.c_str(),
                pEvent->strPath.c_str(), pEvent->strRuleTag.c_str());
    std::fflush(stdout);
}

// May run on several threads at once; the text is lent for the call only.
static int TERN_CALLBACK OnLog(const std::string*, int, int, const char* pszText,
                               unsigned int nLength, int, int) {
    std::fprintf(stderr, "[log] %.*s\n", static_cast<int>(nLength), pszText);
    return 0;
}

int main(int argc, char** argv) {
    HMODULE hDll = LoadLibraryA("TernFileMon.dll");
    auto pfnCreate = hDll ? TernGetExport<PFN_CreateObject>(hDll, "CreateObject") : nullptr;
    TernInitRecord init = {OnLog, 0};
    ITernFileMon* pMonitor = pfnCreate ? pfnCreate("ITernFileMon", nullptr, &init) : nullptr;
    if (pMonitor == nullptr) return 1;

    // Rules and filter list must outlive the monitoring they configure.
    FileMonRuleList rules = {{"*", "everything", "Add|Copy|Delete|Modify|Rename", "any-file"}};
    FileMonFilterList filter = {FILEMON_LOCAL, &rules};
    pMonitor->StartMonitoring(OnReport, &filter);
    Sleep(1000 * (argc > 1 ? std::atoi(argv[1]) : 10));
    pMonitor->StopMonitoring(FILEMON_LOCAL);
    std::printf("released, %lu references left\n", pMonitor->Release());  // the last Release
    return 0;
}
