// Windows only: UTF-8 <-> UTF-16 for the wide-character system calls of this folder.
// (No POSIX sibling: POSIX calls take the UTF-8 bytes as they are.)
#pragma once

#include <string>

// UTF-8 to UTF-16; false (and an empty result) when the text is not valid UTF-8. Null
// converts to an empty text.
bool BUTF8ToWide(const char *pchUTF8, std::wstring *pwstrOut);
// A path as the system takes it: UTF-16, every '/' turned into '\'.
bool BPathToWide(const char *pchPath, std::wstring *pwstrOut);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUTF8(const wchar_t *pwch, size_t cch);
inline std::string WideToUTF8(const std::wstring &wstr)
{
    return WideToUTF8(wstr.data(), wstr.size());
}
// Copies a text with its NUL into a caller's buffer; false when it does not fit.
bool BCopyOut(const std::string &str, char *pchBuf, size_t cubBuf);
