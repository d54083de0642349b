#include "foundation/utlstring.h"

#include <cstdio>

void CUtlString::Format(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    FormatV(pchFormat, args);
    va_end(args);
}

void CUtlString::FormatV(const char *pchFormat, va_list args)
{
    va_list argsCopy;
    va_copy(argsCopy, args);
    int cch = vsnprintf(nullptr, 0, pchFormat, argsCopy);
    va_end(argsCopy);
    if (cch < 0)
    {
        m_str.clear();
        return;
    }
    m_str.assign((size_t)cch + 1, '\0');
    vsnprintf(&m_str[0], m_str.size(), pchFormat, args);
    m_str.resize((size_t)cch);
}
