// Windows only: a GUI-subsystem program attached to the console of its parent.
#include "foundation/platform/console.h"

#include <windows.h>

#include <cstdio>

namespace
{
// A handle the parent gave: a pipe, a file, or a console of its own.
bool BHandedOver(DWORD dwStdHandle)
{
    HANDLE h = GetStdHandle(dwStdHandle);
    return h && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}
} // namespace

void PLAT_AttachParentConsole()
{
    const bool bIn = BHandedOver(STD_INPUT_HANDLE);
    const bool bOut = BHandedOver(STD_OUTPUT_HANDLE);
    const bool bErr = BHandedOver(STD_ERROR_HANDLE);
    if (bIn && bOut && bErr)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!bOut && freopen("CONOUT$", "w", stdout))
        setvbuf(stdout, nullptr, _IONBF, 0);
    if (!bErr && freopen("CONOUT$", "w", stderr))
        setvbuf(stderr, nullptr, _IONBF, 0);
    if (!bIn)
        freopen("CONIN$", "r", stdin);
}
