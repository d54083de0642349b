// Windows only: threads through the C runtime's _beginthreadex.
#include "foundation/platform/thread.h"

#include "foundation/platform/win32/widepath.h"

#include <windows.h>

#include <process.h>

namespace
{
struct ThreadStart_t
{
    FnPlatThreadProc m_pfn;
    void *m_pvParam;
};

unsigned __stdcall ThreadEntry(void *pv)
{
    ThreadStart_t start = *static_cast<ThreadStart_t *>(pv);
    delete static_cast<ThreadStart_t *>(pv);
    return start.m_pfn(start.m_pvParam);
}

typedef HRESULT(WINAPI *FnSetThreadDescription)(HANDLE hThread, PCWSTR pwszDescription);

// Windows 10 1607 and later name threads; older systems lack the function.
FnSetThreadDescription LookUpSetThreadDescription()
{
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC pfn = hKernel ? GetProcAddress(hKernel, "SetThreadDescription") : nullptr;
    return reinterpret_cast<FnSetThreadDescription>(reinterpret_cast<void *>(pfn));
}
} // namespace

bool PLAT_CreateThread(FnPlatThreadProc pfn, void *pvParam, uint32 cubStack, PlatThreadHandle_t *phThread,
                       uint32 *punThreadId)
{
    if (!pfn || !phThread)
        return false;
    // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread data.
    // A given stack size is the reservation, as on POSIX, not the first commitment.
    ThreadStart_t *pStart = new ThreadStart_t{pfn, pvParam};
    unsigned unThreadId = 0;
    uintptr_t hThread = _beginthreadex(nullptr, cubStack, &ThreadEntry, pStart,
                                       cubStack ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &unThreadId);
    if (!hThread)
    {
        delete pStart;
        return false;
    }
    *phThread = reinterpret_cast<PlatThreadHandle_t>(hThread);
    if (punThreadId)
        *punThreadId = unThreadId;
    return true;
}

bool PLAT_WaitForThread(PlatThreadHandle_t hThread, uint32 unMilliseconds)
{
    if (!hThread)
        return true;
    DWORD dwTimeout = unMilliseconds == INFINITE_WAIT ? INFINITE : unMilliseconds;
    return WaitForSingleObject(static_cast<HANDLE>(hThread), dwTimeout) == WAIT_OBJECT_0;
}

void PLAT_CloseThread(PlatThreadHandle_t hThread)
{
    if (hThread)
        CloseHandle(static_cast<HANDLE>(hThread));
}

uint32 PLAT_GetCurrentThreadId()
{
    return (uint32)GetCurrentThreadId();
}

void PLAT_SetCurrentThreadName(const char *pchName)
{
    static const FnSetThreadDescription s_pfnSetThreadDescription = LookUpSetThreadDescription();
    std::wstring wstrName;
    if (s_pfnSetThreadDescription && pchName && BUTF8ToWide(pchName, &wstrName))
        s_pfnSetThreadDescription(GetCurrentThread(), wstrName.c_str());
}

void PLAT_Sleep(uint32 unMilliseconds)
{
    // Sleep(0) gives up the rest of the time slice: the yield.
    Sleep(unMilliseconds == INFINITE_WAIT ? INFINITE : unMilliseconds);
}
