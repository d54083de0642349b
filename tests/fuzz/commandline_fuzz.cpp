// libFuzzer target for the command line: any text (parameter file references included)
// must parse and answer lookups within its limits, without a crash or an overrun.
#include "foundation/commandline.h"
#include "foundation/dbg.h"

#include <cstdint>
#include <string>

namespace
{
CCommandLineOption g_OptionBeta("-beta", "");
CCommandLineOption g_OptionTextClient("-textclient", "");
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    static bool s_bQuiet = (SetSpewToStderr(false), true);
    (void)s_bQuiet;
    if (cubData > 1 << 16)
        return 0;
    std::string strText((const char *)pubData, cubData);

    CCommandLine commandLine;
    commandLine.CreateFromText(strText.c_str());
    for (int i = 0; i < commandLine.GetArgumentCount(); ++i)
        (void)commandLine.GetArgument(i);
    const char *pchValue = nullptr;
    commandLine.FindOption(g_OptionBeta.GetHandle(), &pchValue);
    commandLine.GetOptionString(g_OptionBeta.GetHandle(), "");
    commandLine.GetOptionInt(g_OptionTextClient.GetHandle(), 0);
    commandLine.FindOptionArgument(g_OptionTextClient.GetHandle());
    commandLine.AppendOption(g_OptionBeta.GetHandle(), "x");
    commandLine.RemoveOption(g_OptionTextClient.GetHandle());

    // The same text as an argument vector, split at blanks.
    std::vector<std::string> vecArgs;
    size_t iStart = 0;
    while (iStart <= strText.size() && vecArgs.size() < 300)
    {
        size_t iEnd = strText.find(' ', iStart);
        if (iEnd == std::string::npos)
            iEnd = strText.size();
        vecArgs.push_back(strText.substr(iStart, iEnd - iStart));
        iStart = iEnd + 1;
    }
    std::vector<char *> vecArgv;
    for (std::string &str : vecArgs)
        vecArgv.push_back(&str[0]);
    vecArgv.push_back(nullptr);
    CCommandLine fromArguments;
    fromArguments.CreateFromArguments((int)vecArgs.size(), vecArgv.data());
    return 0;
}
