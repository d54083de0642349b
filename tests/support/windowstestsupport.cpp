// What the Windows test programs need around the tests: Winsock started for the whole run
// (the launcher's update status UI starts it; tests of the network layer have no UI), and
// the environment calls of testsupport.h. Compiled into each Windows test program.
#ifdef _WIN32
#include "testsupport.h"

#include "foundation/platform/sockets_init.h"

#include <windows.h>

#include <cstring>

namespace
{
const bool g_bSocketsStarted = PLAT_StartSockets();

void EmptyTheLaunchersKeys()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Quill");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Quill");
}
} // namespace

int setenv(const char *pchName, const char *pchValue, int nOverwrite)
{
    if (!nOverwrite && getenv(pchName))
        return 0;
    if (!strcmp(pchName, "FERRO_REGISTRY_DIR"))
        EmptyTheLaunchersKeys();
    // _putenv_s changes the process's environment block too, where the platform layer reads.
    return _putenv_s(pchName, pchValue);
}

int unsetenv(const char *pchName)
{
    if (!strcmp(pchName, "FERRO_REGISTRY_DIR"))
        EmptyTheLaunchersKeys();
    return _putenv_s(pchName, "");
}
#endif
