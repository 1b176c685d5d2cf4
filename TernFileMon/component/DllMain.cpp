// Module entry: nothing of the component is created or destroyed here.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*hInstance*/, DWORD /*dwReason*/, LPVOID /*pReserved*/) {
    return TRUE;
}
