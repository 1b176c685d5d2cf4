// Loads TernFileMon.dll from the program's folder and holds the component
// object the way a product does: LoadLibrary, the exports, CreateObject with a
// log function, the two interface pointers, and the last Release.
#ifndef TERNFILEMON_HOST_COMPONENTHOST_H
#define TERNFILEMON_HOST_COMPONENTHOST_H

#include <windows.h>

#include <string>

#include "TernFileMon.h"
#include "TernFileMonHealth.h"

namespace tern {

class ReportPrinter;

// The folder of the running program, with a trailing backslash.
std::string ProgramFolder();

class ComponentHost {
public:
    // Log lines of the component go to the printer while this object lives.
    explicit ComponentHost(ReportPrinter& printer);
    ~ComponentHost();
    ComponentHost(const ComponentHost&) = delete;
    ComponentHost& operator=(const ComponentHost&) = delete;

    // Loads strFolder + "TernFileMon.dll" and creates the component object.
    bool Load(const std::string& strFolder, std::string& strError);
    // Loads the DLL only (no component object).
    bool LoadModule(const std::string& strFolder, std::string& strError);
    HMODULE Module() const { return m_hModule; }

    ITernFileMon* Monitor() const { return m_pMonitor; }
    ICommonControl* Control() const { return m_pControl; }

    // The health counters (GetHealthCounters); false when the loaded DLL
    // has no such export or refused. Valid after the last Release too.
    bool ReadHealth(TernHealthRecord& record) const;

    // The last Release: destroys the component with its watches and threads.
    // Returns the count Release gave back (0 when it was the last).
    unsigned long ReleaseComponent();

private:
    HMODULE m_hModule = nullptr;
    ITernFileMon* m_pMonitor = nullptr;
    ICommonControl* m_pControl = nullptr;
};

}  // namespace tern

#endif
