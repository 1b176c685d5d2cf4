#include "FileMonitor.h"

#include "../component/TernFileMonObject.h"

namespace tern {

CFileMonitor* g_pFileMonitor = nullptr;
HINSTANCE g_hInstance = nullptr;

CFileMonitor::CFileMonitor(CTernFileMon* pOwner) {
    g_pFileMonitor = this;
    g_hInstance = ::GetModuleHandleA(nullptr);
    RegisterWindowClass(g_hInstance);
    m_pOwner = pOwner;
}

CFileMonitor::~CFileMonitor() {
    try {
        m_pUsbRuleList = nullptr;
        m_pfnUsbCallback = nullptr;
        m_pLocalRuleList = nullptr;
        // The window must be gone before its class can be unregistered.
        EndWindowThread();
        UnregisterWindowClass(g_hInstance);
        g_hInstance = nullptr;
        m_pOwner = nullptr;
    } catch (...) {
        // Destruction goes on.
    }
    if (g_pFileMonitor == this) g_pFileMonitor = nullptr;
}

void CFileMonitor::Log(const char* pszText) const {
    if (m_pOwner != nullptr) m_pOwner->WriteLog(pszText, 1);
}

void CFileMonitor::StartFileMonitor(FileMonCallback pFunction, FileMonFilterList* pFilterList,
                                    int nType) {
    if (pFilterList == nullptr || pFunction == nullptr) {
        Log("StartFileMonitor pFilterList or pFunction is NULL");
        return;
    }
    g_pFileMonitor = this;
    if (nType == FILEMON_LOCAL) {
        m_pLocalRuleList = pFilterList->pRuleList;
        m_pfnLocalCallback = pFunction;
    } else if (nType == FILEMON_USB) {
        m_pUsbRuleList = pFilterList->pRuleList;
        m_pfnUsbCallback = pFunction;
    } else {
        Log("unknow file monitor type");
    }
}

void CFileMonitor::StopFileMonitor(int nType) {
    if (m_pOwner == nullptr) return;
    Log("Enter Stop FileMonitor");
    if (nType == FILEMON_LOCAL) {
        Log("Enter Stop FileMonitor OK");
    } else if (nType == FILEMON_USB) {
        m_pUsbRuleList = nullptr;
        Log("Enter Stop FILEMON_USB OK");
    }
    Log("Enter Stop END");
}

bool CFileMonitor::AddDriveRoot(const char* /*pDriveLetter*/) {
    return true;  // no watch roots yet
}

}  // namespace tern
