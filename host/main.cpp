// ternwatch: loads TernFileMon.dll from its own folder exactly as a product
// does (LoadLibrary, GetProcAddress of the exports, the interface pointers)
// and shows what the component says.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "TernFileMon.h"

namespace {

void PrintUsage() {
    std::printf(
        "Usage: ternwatch [--help]\n"
        "\n"
        "Loads TernFileMon.dll from the folder of ternwatch.exe, prints the\n"
        "component's interface record and the machine name, creates the\n"
        "component object with a log function of its own, prints every log\n"
        "line the component writes (on standard error, marked \"[log]\"), and\n"
        "releases the object.\n"
        "\n"
        "Options:\n"
        "  --help   show this text and exit\n");
}

int TERN_CALLBACK PrintLogLine(const std::string* pName, int /*nCodeA*/, int /*nCodeB*/,
                               const char* pszText, unsigned int nLength, int nLevel,
                               int /*nLast*/) {
    std::fprintf(stderr, "[log] %s level %d: %.*s\n", pName != nullptr ? pName->c_str() : "",
                 nLevel, static_cast<int>(nLength), pszText);
    std::fflush(stderr);
    return 0;
}

std::string ModuleFolder() {
    char szPath[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath(szPath, nLength);
    const size_t nSlash = strPath.find_last_of("\\/");
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
}

const char* OrNull(const char* psz) { return psz != nullptr ? psz : "(null)"; }

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
        std::fprintf(stderr, "ternwatch: unknown option '%s' (see --help)\n", argv[i]);
        return 2;
    }

    const std::string strDll = ModuleFolder() + "TernFileMon.dll";
    HMODULE hModule = ::LoadLibraryA(strDll.c_str());
    if (hModule == nullptr) {
        std::fprintf(stderr, "ternwatch: cannot load %s (error %lu)\n", strDll.c_str(),
                     ::GetLastError());
        return 1;
    }
    auto pfnGetInterfaceList = TernGetExport<PFN_GetInterfaceList>(hModule, "GetInterfaceList");
    auto pfnCreateObject = TernGetExport<PFN_CreateObject>(hModule, "CreateObject");
    auto pfnQuerySupportedCommand =
        TernGetExport<PFN_QuerySupportedCommand>(hModule, "QuerySupportedCommand");
    if (pfnGetInterfaceList == nullptr || pfnCreateObject == nullptr ||
        pfnQuerySupportedCommand == nullptr) {
        std::fprintf(stderr, "ternwatch: %s lacks one of the three exports\n", strDll.c_str());
        ::FreeLibrary(hModule);
        return 1;
    }

    const TernInterfaceInfo* pInfo = nullptr;
    pfnGetInterfaceList(&pInfo);
    std::printf("Interface      %s\n", OrNull(pInfo->pszInterfaceName));
    std::printf("Version        %s\n", OrNull(pInfo->pszVersion));
    std::printf("Interface id   %s\n", OrNull(pInfo->pszInterfaceId));
    std::printf("Component      %s\n", OrNull(pInfo->pszComponentName));
    std::printf("Component code %s\n", OrNull(pInfo->pszComponentCode));
    std::printf("Build date     %s\n", OrNull(pInfo->pszBuildDate));
    std::fflush(stdout);

    ICommonControl* pControl = nullptr;
    TernInitRecord init = {PrintLogLine, 0};
    ITernFileMon* pMonitor = pfnCreateObject(pInfo->pszInterfaceName, &pControl, &init);
    if (pMonitor == nullptr) {
        std::fprintf(stderr, "ternwatch: CreateObject refused \"%s\"\n", pInfo->pszInterfaceName);
        ::FreeLibrary(hModule);
        return 1;
    }
    std::printf("Machine name   %s\n", pControl->GetMachineName().c_str());
    std::fflush(stdout);

    const ULONG nLeft = pMonitor->Release();
    std::printf("Released; %lu references left\n", static_cast<unsigned long>(nLeft));
    ::FreeLibrary(hModule);
    return 0;
}
