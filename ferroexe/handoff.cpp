#include "ferroexe/handoff.h"

#include "foundation/platform/foreground.h"
#include "foundation/platform/namedevent.h"
#include "foundation/platform/registry.h"

#include <cstring>

void BuildHandOffCommandLine(int argc, char **argv, std::string *pstrCommandLine)
{
    pstrCommandLine->clear();
    for (int i = 0; i < argc && argv && argv[i]; ++i)
    {
        if (strchr(argv[i], ' '))
        {
            *pstrCommandLine += '"';
            *pstrCommandLine += argv[i];
            *pstrCommandLine += "\" ";
        }
        else
        {
            *pstrCommandLine += argv[i];
            *pstrCommandLine += ' ';
        }
    }
    if (argc <= 1)
        *pstrCommandLine += "-foreground";
}

bool BHandOffToRunningInstance(int argc, char **argv)
{
    PlatNamedEvent_t hEvent = PLAT_OpenNamedEvent(FERRO_HANDOFF_EVENT_NAME);
    if (!hEvent)
        return false;

    std::string strCommandLine;
    BuildHandOffCommandLine(argc, argv, &strCommandLine);

    // The client reads the value when woken, so the value goes first and the signal last.
    const EPlatRegistryHive eHive = k_EPlatRegistryHiveLocalMachine;
    if (PLAT_RegistryKeyExists(eHive, FERRO_HANDOFF_REGISTRY_KEY))
    {
        PLAT_RegistryWriteString(eHive, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_COMMAND_LINE_VALUE,
                                 strCommandLine.c_str());
        uint32 unProcessId = 0;
        PLAT_RegistryReadDWORD(eHive, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_PROCESS_ID_VALUE,
                               &unProcessId);
        if (unProcessId != 0)
            PLAT_AllowSetForegroundWindow(unProcessId);
        PLAT_SetNamedEvent(hEvent);
    }

    PLAT_CloseNamedEvent(hEvent);
    return true;
}
