// POSIX only: the 8-bit code page is UTF-8.
#include "foundation/platform/codepage.h"

#include "foundation/strtools.h"

int PLAT_UTF16ToANSI(const wchar16 *pwchText, char *pchBuf, int cubBuf)
{
    if (!pchBuf || cubBuf <= 0)
        return 0;
    pchBuf[0] = '\0';
    if (!pwchText)
        return 0;
    // A cut text would be a different text (a different path): all or nothing.
    int cubNeeded = Q_UnicodeToUTF8(pwchText, nullptr, 0, k_EStringConvertReplace);
    if (cubNeeded <= 0 || cubNeeded > cubBuf)
        return 0;
    return Q_UnicodeToUTF8(pwchText, pchBuf, cubBuf, k_EStringConvertReplace);
}

void PLAT_SetConsoleOutputUTF8()
{
    // Terminals take the bytes as they are.
}
