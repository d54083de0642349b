// Windows only: named events as kernel event objects.
#include "foundation/platform/namedevent.h"

#include <cstdlib>
#include <string>
#include <windows.h>

namespace
{
// The object name in UTF-16; a private namespace goes after the kernel namespace prefix
// ("Global\\" or "Local\\"), so the event stays in the namespace it asked for.
bool BObjectName(const char *pchName, std::wstring *pwstrName)
{
    if (!pchName || !*pchName)
        return false;
    std::string strName = pchName;
    const char *pchNamespace;
    if (!BGetNamedEventNamespace(&pchNamespace))
        return false;
    if (*pchNamespace)
    {
        size_t iSlash = strName.find('\\');
        strName.insert(iSlash == std::string::npos ? 0 : iSlash + 1, std::string(pchNamespace) + ".");
    }
    int cwch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strName.c_str(), -1, nullptr, 0);
    if (cwch <= 0)
        return false;
    pwstrName->assign((size_t)cwch, L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strName.c_str(), -1, &(*pwstrName)[0], cwch) !=
        cwch)
        return false;
    pwstrName->resize((size_t)cwch - 1);
    return true;
}
} // namespace

// The handle is the event object's handle itself.
PlatNamedEvent_t PLAT_CreateNamedEvent(const char *pchName)
{
    std::wstring wstrName;
    if (!BObjectName(pchName, &wstrName))
        return nullptr;
    // Auto-reset, not signalled; an existing event of that name is opened instead.
    return reinterpret_cast<PlatNamedEvent_t>(CreateEventW(nullptr, FALSE, FALSE, wstrName.c_str()));
}

PlatNamedEvent_t PLAT_OpenNamedEvent(const char *pchName)
{
    std::wstring wstrName;
    if (!BObjectName(pchName, &wstrName))
        return nullptr;
    return reinterpret_cast<PlatNamedEvent_t>(OpenEventW(EVENT_MODIFY_STATE, FALSE, wstrName.c_str()));
}

bool PLAT_SetNamedEvent(PlatNamedEvent_t hEvent)
{
    return hEvent && SetEvent(reinterpret_cast<HANDLE>(hEvent));
}

bool PLAT_WaitNamedEvent(PlatNamedEvent_t hEvent, uint32 unMilliseconds)
{
    if (!hEvent)
        return false;
    DWORD dwWait = unMilliseconds == INFINITE_WAIT ? INFINITE : unMilliseconds;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(hEvent), dwWait) == WAIT_OBJECT_0;
}

void PLAT_CloseNamedEvent(PlatNamedEvent_t hEvent)
{
    if (hEvent)
        CloseHandle(reinterpret_cast<HANDLE>(hEvent));
}
