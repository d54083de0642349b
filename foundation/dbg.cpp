#include "foundation/dbg.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace
{
std::atomic<FnSpewHook> g_pfnSpewHook{nullptr};
std::atomic<bool> g_bSpewToStderr{true};
std::atomic<int> g_nSpewConsoleLevel{-1};
std::mutex g_SpewOutputMutex; // keeps lines of different threads from interleaving

int ConsoleLevel()
{
    int nLevel = g_nSpewConsoleLevel.load(std::memory_order_relaxed);
    if (nLevel >= 0)
        return nLevel;
    const char *pchEnv = getenv("FERRO_SPEW_LEVEL");
    nLevel = pchEnv && *pchEnv ? atoi(pchEnv) : 2;
    g_nSpewConsoleLevel.store(nLevel, std::memory_order_relaxed);
    return nLevel;
}

std::string FormatV(const char *pchFormat, va_list args)
{
    char rgchSmall[512];
    va_list argsCopy;
    va_copy(argsCopy, args);
    int cch = vsnprintf(rgchSmall, sizeof(rgchSmall), pchFormat, argsCopy);
    va_end(argsCopy);
    if (cch < 0)
        return std::string();
    if (cch < (int)sizeof(rgchSmall))
        return std::string(rgchSmall, cch);
    std::string str((size_t)cch + 1, '\0');
    vsnprintf(&str[0], str.size(), pchFormat, args);
    str.resize(cch);
    return str;
}

void Emit(ESpewType eType, const char *pchGroup, int nLevel, const std::string &strText)
{
    if (FnSpewHook pfnHook = g_pfnSpewHook.load())
        pfnHook(eType, pchGroup, nLevel, strText.c_str());
    if (!g_bSpewToStderr.load(std::memory_order_relaxed))
        return;
    if (eType == k_ESpewAssert || nLevel <= ConsoleLevel())
    {
        std::lock_guard<std::mutex> lock(g_SpewOutputMutex);
        fputs(strText.c_str(), stderr);
        fflush(stderr);
    }
}

void EmitAssert(const std::string &strMessage)
{
    std::string strText = "Assertion Failed: " + strMessage;
    if (strText.empty() || strText.back() != '\n')
        strText += '\n';
    Emit(k_ESpewAssert, "assert", 0, strText);
}
} // namespace

FnSpewHook SetSpewHook(FnSpewHook pfnHook)
{
    return g_pfnSpewHook.exchange(pfnHook);
}

void SetSpewToStderr(bool bEnabled)
{
    g_bSpewToStderr.store(bEnabled);
}

void SetSpewConsoleLevel(int nLevel)
{
    g_nSpewConsoleLevel.store(nLevel);
}

int GetSpewConsoleLevel()
{
    return ConsoleLevel();
}

void AssertFailed(const char *pchText)
{
    EmitAssert(pchText ? pchText : "");
}

void AssertFailedV(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    std::string str = FormatV(pchFormat, args);
    va_end(args);
    EmitAssert(str);
}

void Msg(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    std::string str = FormatV(pchFormat, args);
    va_end(args);
    Emit(k_ESpewMessage, "general", 1, str);
}

void Warning(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    std::string str = FormatV(pchFormat, args);
    va_end(args);
    Emit(k_ESpewMessage, "general", 1, str);
}

void DMsg(const char *pchGroup, int nLevel, const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    std::string str = FormatV(pchFormat, args);
    va_end(args);
    Emit(k_ESpewMessage, pchGroup ? pchGroup : "general", nLevel, str);
}
