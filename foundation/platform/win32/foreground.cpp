// Windows only: the foreground permission of the user interface library.
#include "foundation/platform/foreground.h"

#include <windows.h>

void PLAT_AllowSetForegroundWindow(uint32 unProcessId)
{
    // Not linked: a process that never loaded the user library has no window business.
    HMODULE hUser = GetModuleHandleW(L"user32.dll");
    if (!hUser)
        return;
    typedef BOOL(WINAPI * FnAllowSetForegroundWindow)(DWORD);
    // Through void (*)(void): GetProcAddress's type says nothing about the real one.
    FnAllowSetForegroundWindow pfnAllow = reinterpret_cast<FnAllowSetForegroundWindow>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(hUser, "AllowSetForegroundWindow")));
    if (pfnAllow)
        pfnAllow(unProcessId);
}
