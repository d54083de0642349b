// Process entry. Everything it calls lives in ferroexe_core.
#include "ferroexe/main.h"
#include "ferroexe/win32updateui.h"
#include "foundation/platform/console.h"
#include "foundation/strtools.h"

#include <cstdlib>

#ifdef _WIN32
struct HINSTANCE__;

// The window is constructed in every run, before anything else looks up a localized text.
// The command line text is not used: the C runtime's argument vector is.
extern "C" int __stdcall WinMain(HINSTANCE__ *hInstance, HINSTANCE__ *, char *, int nShowCmd)
{
    // A player who asks for the console from a terminal reads the lines there, although
    // the program has no console of its own.
    for (int i = 1; i < __argc; ++i)
    {
        if (!Q_stricmp(__argv[i], "-textclient"))
        {
            PLAT_AttachParentConsole();
            break;
        }
    }
    CWin32UpdateUI *pWindowUI = CWin32UpdateUI::GetInstance();
    pWindowUI->SetShowCommand(nShowCmd);
    pWindowUI->SetInstanceHandle(hInstance);
    return BootstrapperMain(__argc, __argv);
}
#else
int main(int argc, char **argv)
{
    CWin32UpdateUI::GetInstance();
    return BootstrapperMain(argc, argv);
}
#endif
