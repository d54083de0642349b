// POSIX only: executable path, environment, privileges and process creation.
#include "foundation/platform/process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
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
    std::vector<char> buf(4096);
    ssize_t cch = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (cch <= 0)
        return std::string();
    return std::string(buf.data(), (size_t)cch);
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

bool PLAT_StartProcess(const char *pchCommandLine)
{
    if (!pchCommandLine)
        return false;
    // Split the Windows-style command line: blanks separate, double quotes group.
    std::vector<std::string> vecArgs;
    std::string strCur;
    bool bInQuotes = false, bHaveArg = false;
    for (const char *pch = pchCommandLine; *pch; ++pch)
    {
        char ch = *pch;
        if (ch == '"')
        {
            bInQuotes = !bInQuotes;
            bHaveArg = true;
        }
        else if ((ch == ' ' || ch == '\t') && !bInQuotes)
        {
            if (bHaveArg)
                vecArgs.push_back(strCur);
            strCur.clear();
            bHaveArg = false;
        }
        else
        {
            strCur += ch;
            bHaveArg = true;
        }
    }
    if (bHaveArg)
        vecArgs.push_back(strCur);
    if (vecArgs.empty())
        return false;

    std::vector<char *> vecArgv;
    for (std::string &str : vecArgs)
        vecArgv.push_back(&str[0]);
    vecArgv.push_back(nullptr);

    pid_t pid;
    int nResult = posix_spawn(&pid, vecArgv[0], nullptr, nullptr, vecArgv.data(), environ);
    return nResult == 0;
}
