// POSIX only: executable path, environment, privileges and process creation.
#include "foundation/platform/process.h"

#include "foundation/platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{
bool CopyOut(const std::string &str, char *pchBuf, size_t cubBuf)
{
    if (!pchBuf || str.size() + 1 > cubBuf)
        return false;
    memcpy(pchBuf, str.c_str(), str.size() + 1);
    return true;
}

std::string ReadExecutablePath()
{
    // readlink cuts silently: a result that fills the buffer may have been cut, so grow it.
    for (size_t cubBuf = 1024; cubBuf <= 65536; cubBuf *= 2)
    {
        std::vector<char> buf(cubBuf);
        ssize_t cch = readlink("/proc/self/exe", buf.data(), buf.size());
        if (cch <= 0)
            return std::string();
        if ((size_t)cch < buf.size())
            return std::string(buf.data(), (size_t)cch);
    }
    return std::string();
}

std::string ReadCommandLine()
{
    FILE *pFile = fopen("/proc/self/cmdline", "rbe");
    if (!pFile)
        return std::string();
    std::string strRaw;
    char rgchBuf[4096];
    size_t cch;
    while ((cch = fread(rgchBuf, 1, sizeof(rgchBuf), pFile)) > 0)
        strRaw.append(rgchBuf, cch);
    fclose(pFile);

    std::string strText;
    size_t iStart = 0;
    while (iStart < strRaw.size())
    {
        size_t iEnd = strRaw.find('\0', iStart);
        if (iEnd == std::string::npos)
            iEnd = strRaw.size();
        std::string strArg = strRaw.substr(iStart, iEnd - iStart);
        if (!strText.empty())
            strText += ' ';
        if (strArg.empty() || strArg.find_first_of(" \t") != std::string::npos)
            strText += "\"" + strArg + "\"";
        else
            strText += strArg;
        iStart = iEnd + 1;
    }
    return strText;
}
} // namespace

bool PLAT_GetExecutablePath(char *pchBuf, size_t cubBuf)
{
    std::string strPath = ReadExecutablePath();
    return !strPath.empty() && CopyOut(strPath, pchBuf, cubBuf);
}

bool PLAT_GetExecutablePathUTF8(char *pchBuf, size_t cubBuf)
{
    return PLAT_GetExecutablePath(pchBuf, cubBuf);
}

const char *PLAT_GetRawCommandLine()
{
    static const std::string s_strCommandLine = ReadCommandLine();
    return s_strCommandLine.c_str();
}

const char *PLAT_GetEnv(const char *pchName)
{
    return pchName ? getenv(pchName) : nullptr;
}

bool PLAT_SetEnv(const char *pchName, const char *pchValue)
{
    if (!pchName || !*pchName)
        return false;
    if (!pchValue)
        return unsetenv(pchName) == 0;
    return setenv(pchName, pchValue, 1) == 0;
}

uint32 PLAT_GetCurrentProcessId()
{
    return (uint32)getpid();
}

bool PLAT_IsUserAnAdmin()
{
    // Tests run as root on CI machines; they choose the answer through the environment.
    if (const char *pchOverride = getenv("FERRO_ASSUME_ADMIN"))
        return atoi(pchOverride) != 0;
    return geteuid() == 0;
}

namespace
{
// Splits a command line as the Windows C runtime splits it for a program's argument vector:
// blanks separate arguments outside double quotes; 2n backslashes before a quote give n
// backslashes and the quote delimits, 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; "" inside a quoted run is a literal quote. The program name
// (the first argument) takes no escapes: it runs to the next blank, or between quotes.
std::vector<std::string> SplitWindowsCommandLine(const char *pch)
{
    std::vector<std::string> vecArgs;
    while (*pch == ' ' || *pch == '\t')
        ++pch;
    if (!*pch)
        return vecArgs;
    std::string strProgram;
    if (*pch == '"')
    {
        for (++pch; *pch && *pch != '"'; ++pch)
            strProgram += *pch;
        if (*pch)
            ++pch;
    }
    else
    {
        for (; *pch && *pch != ' ' && *pch != '\t'; ++pch)
            strProgram += *pch;
    }
    vecArgs.push_back(strProgram);

    for (;;)
    {
        while (*pch == ' ' || *pch == '\t')
            ++pch;
        if (!*pch)
            break;
        std::string strArg;
        bool bInQuotes = false;
        while (*pch && (bInQuotes || (*pch != ' ' && *pch != '\t')))
        {
            if (*pch == '\\')
            {
                size_t cBackslashes = 0;
                while (*pch == '\\')
                {
                    ++cBackslashes;
                    ++pch;
                }
                if (*pch == '"')
                {
                    strArg.append(cBackslashes / 2, '\\');
                    if (cBackslashes % 2)
                    {
                        strArg += '"';
                        ++pch;
                    }
                }
                else
                {
                    strArg.append(cBackslashes, '\\');
                }
            }
            else if (*pch == '"')
            {
                if (bInQuotes && pch[1] == '"')
                {
                    strArg += '"';
                    pch += 2;
                }
                else
                {
                    bInQuotes = !bInQuotes;
                    ++pch;
                }
            }
            else
            {
                strArg += *pch++;
            }
        }
        vecArgs.push_back(strArg);
    }
    return vecArgs;
}

void *ReapChild(void *pvPid)
{
    pid_t pid = (pid_t)(intptr_t)pvPid;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
    {
    }
    return nullptr;
}
} // namespace

bool PLAT_StartProcess(const char *pchCommandLine)
{
    if (!pchCommandLine)
        return false;
    std::vector<std::string> vecArgs = SplitWindowsCommandLine(pchCommandLine);
    if (vecArgs.empty() || vecArgs[0].empty())
        return false;

    // A program given with a path follows the file layer's path rules; a bare name is looked
    // up on the search path, as Windows would look beside the executable and on PATH.
    const bool bBareName = vecArgs[0].find_first_of("/\\") == std::string::npos;
    const std::string strProgram = bBareName ? vecArgs[0] : PLAT_ResolvePath(vecArgs[0].c_str());
    std::vector<char *> vecArgv;
    for (std::string &str : vecArgs)
        vecArgv.push_back(&str[0]);
    vecArgv.push_back(nullptr);

    // Nothing is inherited but the standard streams, whether or not the descriptors were
    // opened close-on-exec (Windows: no handle inheritance).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid;
    int nResult = bBareName
                      ? posix_spawnp(&pid, strProgram.c_str(), &actions, nullptr, vecArgv.data(), environ)
                      : posix_spawn(&pid, strProgram.c_str(), &actions, nullptr, vecArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nResult != 0)
        return false;

    // The new process runs on its own as on Windows, where its handles are closed at once:
    // collect its exit status when it ends, so that no zombie stays behind.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN < 65536 ? 65536 : PTHREAD_STACK_MIN);
    pthread_t reaper;
    pthread_create(&reaper, &attr, &ReapChild, (void *)(intptr_t)pid);
    pthread_attr_destroy(&attr);
    return true;
}
