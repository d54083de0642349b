// CUtlString: an owned, NUL-terminated 8-bit string (UTF-8 wherever text crosses modules).
#pragma once

#include "foundation/basetypes.h"

#include <cstdarg>
#include <string>

class CUtlString
{
public:
    CUtlString() {}
    CUtlString(const char *pch) : m_str(pch ? pch : "") {}
    CUtlString(const char *pch, size_t cch) : m_str(pch ? std::string(pch, cch) : std::string()) {}
    CUtlString(const std::string &str) : m_str(str) {}

    const char *Get() const { return m_str.c_str(); }
    const char *String() const { return m_str.c_str(); }
    operator const char *() const { return m_str.c_str(); }
    const std::string &StdString() const { return m_str; }

    void Set(const char *pch) { m_str = pch ? pch : ""; }
    void SetDirect(const char *pch, size_t cch) { m_str.assign(pch, cch); }
    void Clear() { m_str.clear(); }
    void Purge() { std::string().swap(m_str); }
    bool IsEmpty() const { return m_str.empty(); }
    int Length() const { return (int)m_str.size(); }

    CUtlString &operator=(const char *pch)
    {
        Set(pch);
        return *this;
    }
    CUtlString &operator+=(const char *pch)
    {
        if (pch)
            m_str += pch;
        return *this;
    }
    CUtlString &operator+=(char ch)
    {
        m_str += ch;
        return *this;
    }
    bool operator==(const CUtlString &other) const { return m_str == other.m_str; }
    bool operator!=(const CUtlString &other) const { return m_str != other.m_str; }
    bool operator==(const char *pch) const { return m_str == (pch ? pch : ""); }
    bool operator!=(const char *pch) const { return !(*this == pch); }
    bool operator<(const CUtlString &other) const { return m_str < other.m_str; }

    // printf into the string (replaces the content).
    void Format(const char *pchFormat, ...) FERRO_PRINTF(2, 3);
    void FormatV(const char *pchFormat, va_list args);

private:
    std::string m_str;
};
