// The three exports of TernFileMon.dll (ordinals 1 to 3, see TernFileMon.def).
#include <cstring>
#include <exception>
#include <string>

#include "../common/DebugOutput.h"
#include "../include/TernFileMon.h"
#include "TernFileMonObject.h"

namespace {

const TernInterfaceInfo kInterfaceInfo = {
    "ITernFileMon",
    "1.0.0.0",
    nullptr,
    "{93F1FC27-C450-4F40-9341-810A5F696B9D}",
    "TernFileMon",
    "L00100157",
    "May 20 2020",
};

}  // namespace

extern "C" ITernFileMon* TERN_CALLBACK CreateObject(const char* pszName,
                                                    ICommonControl** ppCommonControl,
                                                    TernInitRecord* pInit) {
    if (pszName == nullptr || std::strcmp(pszName, kInterfaceInfo.pszInterfaceName) != 0) {
        return nullptr;
    }
    tern::CTernFileMon* pObject = nullptr;
    try {
        pObject = new tern::CTernFileMon();
    } catch (const std::exception& e) {
        // No object, nothing half-made left behind; no log function to tell yet.
        tern::WriteDebugLine((std::string("CreateObject failed: ") + e.what() + "\n").c_str());
        return nullptr;
    }
    if (pInit != nullptr) {
        pObject->RegisterHostFunction(TERN_HOSTFN_LOG,
                                      reinterpret_cast<TernHostFunction>(pInit->pfnLog),
                                      static_cast<int>(pInit->nExtra));
    }
    if (ppCommonControl != nullptr) *ppCommonControl = pObject->GetCommonControl();
    return pObject->GetComponentInterface();
}

extern "C" int TERN_CALLBACK GetInterfaceList(const TernInterfaceInfo** ppInfo) {
    if (ppInfo != nullptr) *ppInfo = &kInterfaceInfo;
    return 1;
}

extern "C" int TERN_CALLBACK QuerySupportedCommand(std::string /*strCommand*/) { return -1; }
