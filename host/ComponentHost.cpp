#include "ComponentHost.h"

#include <atomic>

#include "ReportPrinter.h"

namespace tern {

namespace {

std::atomic<ReportPrinter*> g_pLogPrinter{nullptr};

// Called on the host's threads and on the component's window thread, maybe at
// the same time; the printer serialises the lines.
int TERN_CALLBACK PrintComponentLog(const std::string* /*pName*/, int /*nCodeA*/,
                                    int /*nCodeB*/, const char* pszText, unsigned int nLength,
                                    int /*nLevel*/, int /*nLast*/) {
    ReportPrinter* pPrinter = g_pLogPrinter.load();
    if (pPrinter != nullptr && pszText != nullptr) pPrinter->PrintLog(pszText, nLength);
    return 0;
}

}  // namespace

std::string ProgramFolder() {
    char szPath[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    const std::string strPath(szPath, nLength < MAX_PATH ? nLength : 0);
    const size_t nSlash = strPath.find_last_of("\\/");
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
}

ComponentHost::ComponentHost(ReportPrinter& printer) { g_pLogPrinter.store(&printer); }

ComponentHost::~ComponentHost() {
    ReleaseComponent();
    g_pLogPrinter.store(nullptr);
    // The module stays loaded until the process ends: a host that frees it
    // right after the last Release may pull the code from under a component
    // thread that is still on its way out.
}

bool ComponentHost::LoadModule(const std::string& strFolder, std::string& strError) {
    const std::string strDll = strFolder + "TernFileMon.dll";
    m_hModule = ::LoadLibraryA(strDll.c_str());
    if (m_hModule == nullptr) {
        strError = "cannot load " + strDll + " (error " + std::to_string(::GetLastError()) + ")";
    }
    return m_hModule != nullptr;
}

bool ComponentHost::Load(const std::string& strFolder, std::string& strError) {
    if (!LoadModule(strFolder, strError)) return false;
    const std::string strDll = strFolder + "TernFileMon.dll";
    auto pfnCreateObject = TernGetExport<PFN_CreateObject>(m_hModule, "CreateObject");
    if (pfnCreateObject == nullptr) {
        strError = strDll + " has no export CreateObject";
        return false;
    }
    TernInitRecord init = {PrintComponentLog, 0};
    m_pMonitor = pfnCreateObject("ITernFileMon", &m_pControl, &init);
    if (m_pMonitor == nullptr) {
        strError = "CreateObject(\"ITernFileMon\") gave no object";
        return false;
    }
    return true;
}

bool ComponentHost::ReadHealth(TernHealthRecord& record) const {
    if (m_hModule == nullptr) return false;
    auto pfnGet = TernGetExport<PFN_GetHealthCounters>(m_hModule, "GetHealthCounters");
    record.cbSize = sizeof(TernHealthRecord);
    return pfnGet != nullptr && pfnGet(&record) == TERN_HEALTH_OK;
}

unsigned long ComponentHost::ReleaseComponent() {
    if (m_pMonitor == nullptr) return 0;
    const unsigned long nLeft = m_pMonitor->Release();
    m_pMonitor = nullptr;
    m_pControl = nullptr;
    return nLeft;
}

}  // namespace tern
