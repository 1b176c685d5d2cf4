#include "RegistrySwitch.h"

#include <windows.h>

namespace terntest {

bool SetAutoTestValue() {
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD nValue = 1;
    const bool bOk = ::RegSetValueExA(hKey, "AutoTest", 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&nValue),
                                      sizeof(nValue)) == ERROR_SUCCESS;
    ::RegCloseKey(hKey);
    return bOk;
}

bool DeleteAutoTestValue() {
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS) {
        return false;
    }
    const LONG nResult = ::RegDeleteValueA(hKey, "AutoTest");
    ::RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS || nResult == ERROR_FILE_NOT_FOUND;
}

AutoTestSwitch::AutoTestSwitch() : m_bOn(SetAutoTestValue()) {}
AutoTestSwitch::~AutoTestSwitch() { DeleteAutoTestValue(); }

}  // namespace terntest
