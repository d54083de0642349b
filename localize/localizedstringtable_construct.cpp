// CLocalizedStringTable: building display text from a text and its variables or arguments.
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "localize/localizedstringtable.h"

namespace
{
// Positional arguments: "%s1" to "%s9" and, as the tenth, "%s:".
const int k_cMaxPositionalArgs = 10;

bool BIsDigit(wchar16 wch)
{
    return wch >= '0' && wch <= '9';
}

// Characters of a "%name%" variable name.
bool BIsVariableNameChar(wchar16 wch)
{
    return (wch >= 'a' && wch <= 'z') || (wch >= 'A' && wch <= 'Z') || BIsDigit(wch) || wch == '_';
}

// How many of the first cchMax units of pwch can be copied without splitting a surrogate
// pair.
int UnitsToCopy(const wchar16 *pwch, int cchMax)
{
    int cch = Q_wcslen(pwch);
    if (cch <= cchMax)
        return cch;
    if (cchMax > 0 && pwch[cchMax - 1] >= 0xD800 && pwch[cchMax - 1] <= 0xDBFF)
        return cchMax - 1;
    return cchMax > 0 ? cchMax : 0;
}
} // namespace

void CLocalizedStringTable::ConstructString(wchar16 *pwchOut, int cubOut, LocalizeStringIndex_t nIndex,
                                            KeyValues *pVariables)
{
    const int cchOut = cubOut / (int)sizeof(wchar16);
    if (!pwchOut || cchOut < 1)
        return;
    const wchar16 *pwchValue = GetValueByIndex(nIndex);
    if (!pwchValue)
    {
        Q_wcsncpy(pwchOut, u"[unknown string]", cubOut);
        return;
    }

    int cch = 0;
    const wchar16 *pwch = pwchValue;
    while (*pwch && cchOut - cch >= 2)
    {
        if (*pwch != '%')
        {
            pwchOut[cch++] = *pwch++;
            continue;
        }
        if (pwch[1] == '%')
        {
            pwchOut[cch++] = '%';
            pwch += 2;
            continue;
        }
        if (pwch[1] == 's' && BIsDigit(pwch[2]))
        {
            // Left for the positional form.
            pwchOut[cch++] = *pwch++;
            continue;
        }
        int cchName = 0;
        while (BIsVariableNameChar(pwch[1 + cchName]))
            ++cchName;
        if (!pVariables || cchName == 0 || pwch[1 + cchName] != '%')
        {
            pwchOut[cch++] = *pwch++;
            continue;
        }
        char rgchName[k_cchMaxVariableName + 1];
        int cchKept = cchName < k_cchMaxVariableName ? cchName : k_cchMaxVariableName;
        for (int i = 0; i < cchKept; ++i)
            rgchName[i] = (char)pwch[1 + i];
        rgchName[cchKept] = 0;
        // A missing child gives an empty text; a present one becomes a wide string in place.
        const wchar16 *pwchVariable =
            pVariables->FindKey(rgchName) ? pVariables->GetWString(rgchName, u"") : u"";
        int cchCopy = UnitsToCopy(pwchVariable, cchOut - cch - 1);
        for (int i = 0; i < cchCopy; ++i)
            pwchOut[cch++] = pwchVariable[i];
        pwch += cchName + 2;
    }
    pwchOut[cch] = 0;
}

void CLocalizedStringTable::ConstructString(wchar16 *pwchOut, int cubOut, const char *pchToken,
                                            KeyValues *pVariables)
{
    if (!pwchOut || cubOut < (int)sizeof(wchar16))
        return;
    LocalizeStringIndex_t nIndex = FindIndex(pchToken);
    if (nIndex == k_nInvalidLocalizeStringIndex)
    {
        ConvertUTF8ToUnicode(pchToken ? pchToken : "", pwchOut, cubOut);
        return;
    }
    ConstructString(pwchOut, cubOut, nIndex, pVariables);
}

void CLocalizedStringTable::ConstructString(wchar16 *pwchOut, int cubOut, const wchar16 *pwchFormat,
                                            int nArgs, ...)
{
    va_list args;
    va_start(args, nArgs);
    ConstructStringV(pwchOut, cubOut, pwchFormat, nArgs, args);
    va_end(args);
}

void CLocalizedStringTable::ConstructStringV(wchar16 *pwchOut, int cubOut, const wchar16 *pwchFormat,
                                             int nArgs, va_list args)
{
    const int cchOut = cubOut / (int)sizeof(wchar16);
    if (!pwchOut || cchOut < 1)
        return;
    pwchOut[0] = 0;
    if (!pwchFormat)
        return;
    if (nArgs < 0)
        nArgs = 0;
    const wchar16 *rgpwchArgs[k_cMaxPositionalArgs] = {};
    const int cArgsRead = nArgs < k_cMaxPositionalArgs ? nArgs : k_cMaxPositionalArgs;
    for (int i = 0; i < cArgsRead; ++i)
        rgpwchArgs[i] = va_arg(args, const wchar16 *);

    int cch = 0;
    const wchar16 *pwch = pwchFormat;
    while (*pwch && cchOut - cch >= 2)
    {
        if (pwch[0] != '%' || pwch[1] != 's')
        {
            pwchOut[cch++] = *pwch++;
            continue;
        }
        const wchar16 wchArg = pwch[2];
        if (wchArg < '1' || wchArg > '1' + k_cMaxPositionalArgs - 1)
        {
            Msg("Bad format string in CLocalizeStringTable::ConstructString\n");
            break;
        }
        const int iArg = wchArg - '1';
        if (iArg >= nArgs)
        {
            // No such argument: the reference stays as written.
            pwchOut[cch++] = *pwch++;
            continue;
        }
        const wchar16 *pwchArg = rgpwchArgs[iArg];
        if (!pwchArg)
        {
            // clang-format off
            AssertFailed("CLocalizedStringTable::ConstructString - Found a %s# escape sequence who's index was more than the number of args.");
            // clang-format on
            break;
        }
        // Three units of room stay after the argument.
        int cchCopy = UnitsToCopy(pwchArg, cchOut - cch - 3);
        for (int i = 0; i < cchCopy; ++i)
            pwchOut[cch++] = pwchArg[i];
        pwch += 3;
    }
    pwchOut[cch] = 0;
}
