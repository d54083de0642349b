#include "ferroexe/launchclient.h"

#include "clientapi/clientinterface.h"
#include "clientapi/exports.h"
#include "ferroexe/moduleloader.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <cstring>

namespace
{
typedef void(FERRO_THISCALL *FnClientShutdown_t)(void *pThis, FerroClientStatus_t *pStatus);
typedef void(FERRO_THISCALL *FnClientStartup_t)(void *pThis, FerroClientStatus_t *pStatus, bool bOffline,
                                                bool bOnline);

// Operation iOperation of a foreign C++ interface. Its first word points at its table of
// virtual operations, one pointer per operation in declaration order; the operation is
// called as a member function, with the object as the hidden first argument (thiscall on
// 32-bit Windows, the ordinary convention elsewhere: FERRO_THISCALL in the types above).
// Only valid for interfaces without a virtual destructor before the operation, which the
// client contract guarantees.
template <class FnOperation>
FnOperation GetInterfaceOperation(void *pInterface, int iOperation)
{
    void **ppvTable = *static_cast<void ***>(pInterface);
    return reinterpret_cast<FnOperation>(ppvTable[iOperation]);
}

void ShowLaunchFailure(const char *pchFormat, const char *pchDetail)
{
    // The message is cut at 255 bytes.
    char rgchMessage[256];
    Q_snprintf(rgchMessage, sizeof(rgchMessage), pchFormat, pchDetail);
    if (IUpdateStatusUI *pUI = GetPUpdateStatusUI())
        pUI->ShowFatalError(rgchMessage);
    else
        Warning("%s\n", rgchMessage);
}
} // namespace

int LaunchClient(int argc, char **argv, bool bOffline, bool bConsole)
{
    const char *pchClientLibrary = FERRO_CLIENT_LIBRARY;
    FerroModule_t hClient = LoadModule(pchClientLibrary, 0);
    FnClientFactory_t pfnFactory =
        hClient ? reinterpret_cast<FnClientFactory_t>(GetModuleExport(hClient, FERRO_CLIENT_FACTORY_EXPORT))
                : nullptr;
    void *pClient = pfnFactory ? pfnFactory(FERRO_CLIENT_INTERFACE_VERSION) : nullptr;
    if (!pClient)
    {
        ShowLaunchFailure("Failed to load %s", pchClientLibrary);
        return -1;
    }

    const char *pchUILibrary = bConsole ? FERRO_CLIENT_CONSOLE_UI_LIBRARY : FERRO_CLIENT_UI_LIBRARY;
    FerroModule_t hUI = LoadModule(pchUILibrary, 0);
    FnClientEntryPoint_t pfnEntryPoint =
        hUI ? reinterpret_cast<FnClientEntryPoint_t>(GetModuleExport(hUI, FERRO_CLIENT_ENTRY_POINT_EXPORT))
            : nullptr;
    if (!pfnEntryPoint)
    {
        ShowLaunchFailure("Failed to load %s", pchUILibrary);
        return -1;
    }

    FerroClientStatus_t status;
    memset(&status, 0, sizeof(status));
    GetInterfaceOperation<FnClientStartup_t>(pClient, k_iClientOperationStartup)(pClient, &status, bOffline,
                                                                                 !bOffline);
    if (status.m_nErrorCode != 0)
    {
        // The description is the client's: read no further than its field, terminated or not.
        char rgchDescription[sizeof(status.m_rgchDescription) + 1];
        memcpy(rgchDescription, status.m_rgchDescription, sizeof(status.m_rgchDescription));
        rgchDescription[sizeof(status.m_rgchDescription)] = '\0';
        ShowLaunchFailure("Ferro failed to load: %s", rgchDescription);
        return -1;
    }

    int nResult = pfnEntryPoint(argc, argv, &ClientUpdateRunFrame);

    GetInterfaceOperation<FnClientShutdown_t>(pClient, k_iClientOperationShutdown)(pClient, &status);
    UnloadModule(hUI);
    UnloadModule(hClient);
    return nResult;
}
