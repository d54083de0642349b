// Windows only: the active code page.
#include "foundation/platform/codepage.h"

#include <windows.h>

int PLAT_UTF16ToANSI(const wchar16 *pwchText, char *pchBuf, int cubBuf)
{
    if (!pchBuf || cubBuf <= 0)
        return 0;
    if (!pwchText)
    {
        pchBuf[0] = '\0';
        return 0;
    }
    // Fails (0) rather than cutting when the buffer is too small.
    int cub = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t *>(pwchText), -1, pchBuf, cubBuf,
                                  nullptr, nullptr);
    if (cub <= 0)
        pchBuf[0] = '\0';
    return cub > 0 ? cub : 0;
}

void PLAT_SetConsoleOutputUTF8()
{
    // Fails harmlessly without a console (the launcher is a GUI program).
    if (GetConsoleWindow())
        SetConsoleOutputCP(CP_UTF8);
}
