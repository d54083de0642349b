// Windows only: executable path, environment, privileges and process creation.
#include "foundation/platform/process.h"

#include "foundation/platform/win32/widepath.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

#include <shlobj.h>

bool PLAT_GetExecutablePath(char *pchBuf, size_t cubBuf)
{
    if (!pchBuf || !cubBuf)
        return false;
    DWORD cchBuf = cubBuf > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)cubBuf;
    // A result that fills the buffer was cut (and before Vista not even terminated).
    DWORD cch = GetModuleFileNameA(nullptr, pchBuf, cchBuf);
    return cch > 0 && cch < cchBuf;
}

bool PLAT_GetExecutablePathUTF8(char *pchBuf, size_t cubBuf)
{
    std::wstring wstrPath(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD cwch = GetModuleFileNameW(nullptr, &wstrPath[0], (DWORD)wstrPath.size());
        if (cwch == 0)
            return false;
        if (cwch < wstrPath.size())
        {
            wstrPath.resize(cwch);
            break;
        }
        if (wstrPath.size() >= 32768) // the longest path the system knows
            return false;
        wstrPath.resize(wstrPath.size() * 2);
    }
    return BCopyOut(WideToUTF8(wstrPath), pchBuf, cubBuf);
}

const char *PLAT_GetRawCommandLine()
{
    return GetCommandLineA();
}

const char *PLAT_GetEnv(const char *pchName)
{
    std::wstring wstrName;
    if (!pchName || !*pchName || !BUTF8ToWide(pchName, &wstrName))
        return nullptr;
    std::wstring wstrValue(64, L'\0');
    for (;;)
    {
        // An empty value also reads as 0 characters; only the error tells the two apart.
        SetLastError(ERROR_SUCCESS);
        DWORD cwch = GetEnvironmentVariableW(wstrName.c_str(), &wstrValue[0], (DWORD)wstrValue.size());
        if (cwch == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            return nullptr;
        if (cwch < wstrValue.size())
        {
            wstrValue.resize(cwch);
            break;
        }
        wstrValue.resize(cwch); // the size with the NUL
    }
    // The caller gets a pointer that never dangles: every value read is kept, once, for the
    // life of the process (a handful of short texts).
    static std::mutex s_Mutex;
    static std::set<std::string> *s_psetValues = new std::set<std::string>();
    std::lock_guard<std::mutex> lock(s_Mutex);
    return s_psetValues->insert(WideToUTF8(wstrValue)).first->c_str();
}

bool PLAT_SetEnv(const char *pchName, const char *pchValue)
{
    std::wstring wstrName, wstrValue;
    if (!pchName || !*pchName || strchr(pchName, '=') || !BUTF8ToWide(pchName, &wstrName) ||
        !BUTF8ToWide(pchValue, &wstrValue))
        return false;
    // First the C runtime's copy, which getenv reads here and in modules that share the
    // runtime (it removes a variable set to ""), then the system's block that new processes
    // inherit, so that the system's block ends up exactly as asked.
    _wputenv((wstrName + L"=" + wstrValue).c_str());
    return SetEnvironmentVariableW(wstrName.c_str(), pchValue ? wstrValue.c_str() : nullptr) != FALSE;
}

uint32 PLAT_GetCurrentProcessId()
{
    return (uint32)GetCurrentProcessId();
}

bool PLAT_IsUserAnAdmin()
{
    // Tests choose the answer through the environment, as on POSIX.
    if (const char *pchOverride = PLAT_GetEnv("FERRO_ASSUME_ADMIN"))
        return atoi(pchOverride) != 0;
    return IsUserAnAdmin() != FALSE;
}

bool PLAT_StartProcess(const char *pchCommandLine)
{
    if (!pchCommandLine)
        return false;
    // No handle inheritance, the normal priority class, default start-up information, the
    // console of this process, its environment and current directory.
    PROCESS_INFORMATION processInfo = {};
    BOOL bStarted;
    std::wstring wstrCommandLine;
    if (BUTF8ToWide(pchCommandLine, &wstrCommandLine))
    {
        STARTUPINFOW startupInfo = {};
        startupInfo.cb = sizeof(startupInfo);
        // CreateProcessW may write into the command line, so it gets a copy of its own.
        std::vector<wchar_t> vecCommandLine(wstrCommandLine.begin(), wstrCommandLine.end());
        vecCommandLine.push_back(L'\0');
        bStarted = CreateProcessW(nullptr, vecCommandLine.data(), nullptr, nullptr, FALSE,
                                  NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startupInfo, &processInfo);
    }
    else
    {
        // Not UTF-8: an argument vector in the system's 8-bit code page.
        STARTUPINFOA startupInfo = {};
        startupInfo.cb = sizeof(startupInfo);
        std::vector<char> vecCommandLine(pchCommandLine, pchCommandLine + strlen(pchCommandLine) + 1);
        bStarted = CreateProcessA(nullptr, vecCommandLine.data(), nullptr, nullptr, FALSE,
                                  NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startupInfo, &processInfo);
    }
    if (!bStarted)
        return false;
    CloseHandle(processInfo.hThread);
    CloseHandle(processInfo.hProcess);
    return true;
}
