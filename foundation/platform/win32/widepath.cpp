// Windows only: UTF-8 <-> UTF-16 conversion through the system's own converters.
#include "foundation/platform/win32/widepath.h"

#include <climits>
#include <cstring>
#include <windows.h>

bool BUTF8ToWide(const char *pchUTF8, std::wstring *pwstrOut)
{
    pwstrOut->clear();
    if (!pchUTF8 || !*pchUTF8)
        return true;
    size_t cch = strlen(pchUTF8);
    if (cch > (size_t)INT_MAX)
        return false;
    // MB_ERR_INVALID_CHARS: a path with a broken sequence must fail, not name another file.
    int cwch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pchUTF8, (int)cch, nullptr, 0);
    if (cwch <= 0)
        return false;
    pwstrOut->resize((size_t)cwch);
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pchUTF8, (int)cch, &(*pwstrOut)[0], cwch) != cwch)
    {
        pwstrOut->clear();
        return false;
    }
    return true;
}

bool BPathToWide(const char *pchPath, std::wstring *pwstrOut)
{
    if (!BUTF8ToWide(pchPath, pwstrOut))
        return false;
    for (wchar_t &wch : *pwstrOut)
    {
        if (wch == L'/')
            wch = L'\\';
    }
    return true;
}

std::string WideToUTF8(const wchar_t *pwch, size_t cch)
{
    if (!pwch || !cch || cch > (size_t)INT_MAX)
        return std::string();
    int cb = WideCharToMultiByte(CP_UTF8, 0, pwch, (int)cch, nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return std::string();
    std::string str((size_t)cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwch, (int)cch, &str[0], cb, nullptr, nullptr);
    return str;
}

bool BCopyOut(const std::string &str, char *pchBuf, size_t cubBuf)
{
    if (!pchBuf || str.size() + 1 > cubBuf)
        return false;
    memcpy(pchBuf, str.c_str(), str.size() + 1);
    return true;
}
