#include "foundation/commandline.h"

#include "foundation/dbg.h"
#include "foundation/platform/file.h"
#include "foundation/platform/process.h"
#include "foundation/strtools.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
// FindOption's value: one buffer for the process, overwritten by every call.
char g_rgchOptionValue[COMMANDLINE_MAX_OPTION_VALUE + 1];

CCommandLine *g_pProcessCommandLine = nullptr;

inline bool IsWhiteSpace(char ch)
{
    return isspace((unsigned char)ch) != 0;
}

char *DupString(const char *pch, size_t cch)
{
    char *pchCopy = new char[cch + 1];
    memcpy(pchCopy, pch, cch);
    pchCopy[cch] = '\0';
    return pchCopy;
}

// Copies the text into the working buffer, replacing "@file" references by the file's
// content. rgchOut holds COMMANDLINE_MAX_EXPANDED + 1 bytes; returns the length written.
size_t ExpandParameterFiles(const char *pchText, char *rgchOut)
{
    const size_t cubOut = COMMANDLINE_MAX_EXPANDED + 1;
    size_t cchOut = 0;
    bool bInQuotes = false;
    const char *pchAfterQuote = nullptr; // just after the quote that last toggled bInQuotes
    size_t iOpeningQuoteOut = 0;         // where that quote went in the output

    const char *pch = pchText;
    while (*pch && cchOut < COMMANDLINE_MAX_EXPANDED)
    {
        char ch = *pch;
        if (ch == '"')
        {
            // A quote after a slash or backslash belongs to a path ("C:\dir\") and does not
            // toggle.
            if (pch == pchText || (pch[-1] != '/' && pch[-1] != '\\'))
            {
                bInQuotes = !bInQuotes;
                pchAfterQuote = pch + 1;
                iOpeningQuoteOut = cchOut;
            }
            rgchOut[cchOut++] = ch;
            ++pch;
            continue;
        }

        bool bReference = false;
        if (ch == '@')
        {
            if (pch == pchText)
                bReference = true;
            else if (!bInQuotes && IsWhiteSpace(pch[-1]))
                bReference = true;
            else if (bInQuotes && pch == pchAfterQuote)
                bReference = true;
        }
        if (!bReference)
        {
            rgchOut[cchOut++] = ch;
            ++pch;
            continue;
        }

        // The file name runs to a blank (to the closing quote inside quotes) or the end.
        ++pch;
        const char chEnd = bInQuotes ? '"' : ' ';
        char rgchName[COMMANDLINE_MAX_PARMFILE_NAME + 1];
        size_t cchName = 0;
        while (*pch && *pch != chEnd)
        {
            // An overlong name is cut; its remainder is skipped rather than left behind as
            // stray arguments.
            if (cchName < COMMANDLINE_MAX_PARMFILE_NAME)
                rgchName[cchName++] = *pch;
            ++pch;
        }
        rgchName[cchName] = '\0';
        if (*pch)
            ++pch;
        if (bInQuotes)
        {
            // "@file name" expands to the file's arguments, not to one quoted argument: the
            // opening quote is taken back and the closing one (if any) ends the section.
            cchOut = iOpeningQuoteOut;
            bInQuotes = false;
        }

        FILE *pFile = PLAT_fopen(rgchName, "rt");
        if (!pFile)
        {
            printf("Parameter file '%s' not found, skipping...\n", rgchName);
            fflush(stdout);
            continue;
        }
        int nByte;
        while (cubOut - cchOut > 2 && (nByte = fgetc(pFile)) != EOF)
            rgchOut[cchOut++] = nByte == '\n' ? ' ' : (char)nByte;
        // Separates the file's last word from what follows; there is always room for it,
        // since a reference starts only while at least two bytes are free.
        rgchOut[cchOut++] = ' ';
        fclose(pFile);
    }
    rgchOut[cchOut] = '\0';
    return cchOut;
}
} // namespace

CCommandLine::CCommandLine() {}

CCommandLine::~CCommandLine()
{
    delete[] m_pchCommandLine;
    m_pchCommandLine = nullptr;
    FreeArguments();
    if (m_bIsProcessObject && g_pProcessCommandLine == this)
        g_pProcessCommandLine = nullptr;
    m_listCommandLineOption.RemoveAll();
}

CCommandLine *CCommandLine::GetProcessCommandLineIfAlive()
{
    return g_pProcessCommandLine;
}

void CCommandLine::CreateFromArguments(int argc, char **argv)
{
    char rgchText[COMMANDLINE_MAX_FROM_ARGUMENTS + 1];
    rgchText[0] = '\0';
    Assert(argv || argc <= 0);
    for (int i = 0; argv && i < argc; ++i)
    {
        // Q_strcat keeps what fits, so the text is cut at exactly 2,047 characters.
        Q_strcat(rgchText, "\"", sizeof(rgchText));
        Q_strcat(rgchText, argv[i] ? argv[i] : "", sizeof(rgchText));
        Q_strcat(rgchText, "\" ", sizeof(rgchText));
    }
    CreateFromText(rgchText);
}

void CCommandLine::CreateFromText(const char *pchCommandLine)
{
    // Expanded before the old text is freed: the new text may be the old one.
    char rgchExpanded[COMMANDLINE_MAX_EXPANDED + 1];
    size_t cch = ExpandParameterFiles(pchCommandLine ? pchCommandLine : "", rgchExpanded);
    SetText(rgchExpanded, cch);
}

void CCommandLine::SetText(const char *pchText, size_t cchText)
{
    char *pchNew = DupString(pchText, cchText);
    delete[] m_pchCommandLine;
    m_pchCommandLine = pchNew;
    ParseArguments();
}

void CCommandLine::FreeArguments()
{
    for (char *&pchParm : m_rgpchParms)
    {
        delete[] pchParm;
        pchParm = nullptr;
    }
    m_nParmCount = 0;
}

void CCommandLine::ParseArguments()
{
    FreeArguments();
    if (!m_pchCommandLine)
        return;

    bool bReportedOverflow = false;
    auto fnStore = [&](const char *pchStart, const char *pchEnd)
    {
        if (pchEnd <= pchStart)
            return; // "" is not an argument
        if (m_nParmCount >= MAX_PARAMETERS)
        {
            // The table is full: the rest is dropped, reported once per parse.
            if (!bReportedOverflow)
                AssertMsg(m_nParmCount < MAX_PARAMETERS, "m_nParmCount < MAX_PARAMETERS");
            bReportedOverflow = true;
            return;
        }
        m_rgpchParms[m_nParmCount++] = DupString(pchStart, (size_t)(pchEnd - pchStart));
    };

    const char *pch = m_pchCommandLine;
    while (*pch && IsWhiteSpace(*pch))
        ++pch;

    const char *pchToken = nullptr;
    bool bQuoted = false;
    for (; *pch; ++pch)
    {
        if (!pchToken)
        {
            if (*pch == '"')
            {
                bQuoted = true;
                pchToken = pch + 1;
            }
            else if (!IsWhiteSpace(*pch))
            {
                bQuoted = false;
                pchToken = pch;
            }
        }
        else if (bQuoted ? *pch == '"' : IsWhiteSpace(*pch))
        {
            fnStore(pchToken, pch);
            pchToken = nullptr;
        }
    }
    // An unterminated quote runs to the end of the text.
    if (pchToken)
        fnStore(pchToken, pch);
}

const char *CCommandLine::OptionName(int hParam) const
{
    if (!m_listCommandLineOption.IsValidIndex(hParam))
        return nullptr;
    return m_listCommandLineOption[hParam].m_pchName;
}

const char *CCommandLine::FindOption(int hParam, const char **ppchValue) const
{
    if (ppchValue)
        *ppchValue = nullptr;
    const char *pchName = OptionName(hParam);
    if (!pchName || !m_pchCommandLine)
        return nullptr;

    const char *pchFound = Q_stristr(m_pchCommandLine, pchName);
    if (!pchFound || !ppchValue)
        return pchFound;

    const char *pch = strchr(pchFound, ' ');
    if (!pch)
        return pchFound;
    while (*pch == ' ')
        ++pch;
    if (*pch == '+' || *pch == '-')
        return pchFound;

    size_t cch = 0;
    while (pch[cch] && pch[cch] != ' ' && cch < COMMANDLINE_MAX_OPTION_VALUE)
    {
        g_rgchOptionValue[cch] = pch[cch];
        ++cch;
    }
    g_rgchOptionValue[cch] = '\0';
    *ppchValue = g_rgchOptionValue;
    return pchFound;
}

void CCommandLine::RemoveOptionFromText(const char *pchName)
{
    // An empty name would be "found" forever.
    if (!m_pchCommandLine || !*pchName)
        return;
    char *pchFound;
    while ((pchFound = const_cast<char *>(Q_stristr(m_pchCommandLine, pchName))) != nullptr)
    {
        // Everything up to the next option goes with it (its value, if any). The next
        // option is looked for after the whole name, so that a name with a hyphen of its
        // own ("-no-foo") goes entirely.
        char *pchNext = strpbrk(pchFound + strlen(pchName), "-+");
        if (pchNext)
            memmove(pchFound, pchNext, strlen(pchNext) + 1);
        else
            *pchFound = '\0';
    }
    size_t cch = strlen(m_pchCommandLine);
    while (cch > 0 && m_pchCommandLine[cch - 1] == ' ')
        m_pchCommandLine[--cch] = '\0';
}

void CCommandLine::RemoveOption(int hParam)
{
    const char *pchName = OptionName(hParam);
    if (!pchName || !m_pchCommandLine)
        return;
    RemoveOptionFromText(pchName);
    ParseArguments();
}

void CCommandLine::AppendOption(int hParam, const char *pchValue)
{
    const char *pchName = OptionName(hParam);
    if (!pchName)
        return;
    std::string strText;
    if (m_pchCommandLine)
    {
        RemoveOptionFromText(pchName);
        strText = m_pchCommandLine;
        strText += ' ';
    }
    strText += pchName;
    if (pchValue)
    {
        strText += ' ';
        strText += pchValue;
    }
    SetText(strText.c_str(), strText.size());
}

int CCommandLine::FindOptionArgument(int hParam) const
{
    const char *pchName = OptionName(hParam);
    if (!pchName || m_nParmCount < 2)
        return 0;
    for (int i = 1; i < m_nParmCount; ++i)
    {
        if (Q_stricmp(m_rgpchParms[i], pchName) == 0)
            return i;
    }
    return 0;
}

int CCommandLine::OptionValueIndex(int hParam) const
{
    int i = FindOptionArgument(hParam);
    if (i == 0 || i >= m_nParmCount - 1)
        return 0;
    const char *pchNext = m_rgpchParms[i + 1];
    if (pchNext[0] == '-' || pchNext[0] == '+')
        return 0;
    return i + 1;
}

float CCommandLine::GetOptionFloat(int hParam, float flDefault) const
{
    int i = OptionValueIndex(hParam);
    return i ? (float)atof(m_rgpchParms[i]) : flDefault;
}

int CCommandLine::GetOptionInt(int hParam, int nDefault) const
{
    int i = OptionValueIndex(hParam);
    return i ? atoi(m_rgpchParms[i]) : nDefault;
}

const char *CCommandLine::GetOptionString(int hParam, const char *pchDefault) const
{
    int i = OptionValueIndex(hParam);
    return i ? m_rgpchParms[i] : pchDefault;
}

const char *CCommandLine::GetArgument(int nIndex) const
{
    if (nIndex < 0 || nIndex >= m_nParmCount)
    {
        AssertMsg(false, "(nIndex >= 0) && (nIndex < m_nParmCount)");
        return "";
    }
    return m_rgpchParms[nIndex];
}

int CCommandLine::RegisterOption(const char *pchName, const char *pchDescription)
{
    if (!pchName || !pchDescription)
        return -1;
    for (int h = m_listCommandLineOption.Head(); h != m_listCommandLineOption.InvalidIndex();
         h = m_listCommandLineOption.Next(h))
    {
        const char *pchExisting = m_listCommandLineOption[h].m_pchName;
        if (pchExisting && Q_stricmp(pchExisting, pchName) == 0)
            return h;
    }
    CommandLineParam_t param;
    param.m_pchName = pchName;
    param.m_pchDescription = pchDescription;
    int iOption = m_listCommandLineOption.AddToTail(param);
    AssertMsg(iOption != m_listCommandLineOption.InvalidIndex(),
              "iOption != m_listCommandLineOption.InvalidIndex()");
    return iOption;
}

void CCommandLine::UnregisterOption(int hParam)
{
    m_listCommandLineOption.Remove(hParam);
}

void CCommandLine::PrintOptions() const
{
    DMsg("console", 1, "----------------------------------------\n");
    DMsg("console", 1, "Command line options:\n");
    for (int h = FirstOption(); h != -1; h = NextOption(h))
    {
        const char *pchName = GetOptionName(h);
        const char *pchDescription = GetOptionDescription(h);
        DMsg("console", 1, "\"%s\" : %s\n", pchName ? pchName : "", pchDescription ? pchDescription : "");
    }
    DMsg("console", 1, "----------------------------------------\n");
}

int CCommandLine::FirstOption() const
{
    return m_listCommandLineOption.Head();
}

int CCommandLine::NextOption(int hParam) const
{
    return m_listCommandLineOption.Next(hParam);
}

const char *CCommandLine::GetOptionName(int hParam) const
{
    return OptionName(hParam);
}

const char *CCommandLine::GetOptionDescription(int hParam) const
{
    if (!OptionName(hParam))
        return nullptr;
    return m_listCommandLineOption[hParam].m_pchDescription;
}

void CCommandLine::Validate(const char *pchName) const
{
    const char *pchLabel = pchName ? pchName : "CommandLine";
    DMsg("memory", 4, "%s: text (%u bytes): %s\n", pchLabel,
         m_pchCommandLine ? (unsigned)strlen(m_pchCommandLine) + 1 : 0u,
         m_pchCommandLine ? m_pchCommandLine : "");
    for (int i = 0; i < m_nParmCount; ++i)
        DMsg("memory", 4, "%s: argument %d: %s\n", pchLabel, i, m_rgpchParms[i]);
    DMsg("memory", 4, "%s: %d registered options\n", pchLabel, m_listCommandLineOption.Count());
}

ICommandLine *GetCommandLineObject()
{
    // Constructed on the first call, which usually comes from an option's static
    // initialiser; destroyed at exit after every option registered before it returned.
    static CCommandLine s_CommandLine;
    static bool s_bFilled = false;
    if (!s_CommandLine.m_bIsProcessObject)
    {
        s_CommandLine.m_bIsProcessObject = true;
        g_pProcessCommandLine = &s_CommandLine;
    }
    if (!s_bFilled)
    {
        const char *pchSystemText = PLAT_GetRawCommandLine();
        if (pchSystemText && *pchSystemText)
        {
            s_CommandLine.CreateFromText(pchSystemText);
            s_bFilled = true;
        }
    }
    return &s_CommandLine;
}

CCommandLineOption::CCommandLineOption(const char *pchName, const char *pchDescription) : m_hParam(-1)
{
    m_hParam = GetCommandLineObject()->RegisterOption(pchName, pchDescription);
    AssertMsg(m_hParam != -1, "m_hParam != -1");
}

CCommandLineOption::~CCommandLineOption()
{
    if (CCommandLine *pCommandLine = CCommandLine::GetProcessCommandLineIfAlive())
        pCommandLine->UnregisterOption(m_hParam);
    m_hParam = -1;
}
