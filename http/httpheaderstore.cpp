#include "http/httpheaderstore.h"

#include "foundation/strtools.h"

namespace
{
std::string LowerCase(const char *pch)
{
    std::string str = pch;
    for (char &ch : str)
        ch = Q_tolower_ascii(ch);
    return str;
}
} // namespace

int CHTTPHeaderStore::Find(const char *pchName) const
{
    if (!pchName)
        return -1;
    auto it = m_mapIndex.find(LowerCase(pchName));
    return it == m_mapIndex.end() ? -1 : (int)it->second;
}

const char *CHTTPHeaderStore::Get(const char *pchName) const
{
    int i = Find(pchName);
    return i < 0 ? nullptr : m_vecHeaders[(size_t)i].m_strValue.c_str();
}

void CHTTPHeaderStore::Set(const char *pchName, const char *pchValue)
{
    if (!pchName || !*pchName)
        return;
    int i = Find(pchName);
    if (i >= 0)
    {
        m_vecHeaders[(size_t)i].m_strValue = pchValue ? pchValue : "";
        return;
    }
    m_mapIndex.emplace(LowerCase(pchName), m_vecHeaders.size());
    m_vecHeaders.push_back({pchName, pchValue ? pchValue : ""});
}

void CHTTPHeaderStore::AddReceived(const char *pchName, const char *pchValue)
{
    int i = Find(pchName);
    if (i < 0)
    {
        Set(pchName, pchValue);
        return;
    }
    std::string &strValue = m_vecHeaders[(size_t)i].m_strValue;
    strValue += ',';
    strValue += pchValue ? pchValue : "";
}

bool CHTTPHeaderStore::Remove(const char *pchName)
{
    int i = Find(pchName);
    if (i < 0)
        return false;
    m_vecHeaders.erase(m_vecHeaders.begin() + i);
    m_mapIndex.clear();
    for (size_t j = 0; j < m_vecHeaders.size(); ++j)
        m_mapIndex.emplace(LowerCase(m_vecHeaders[j].m_strName.c_str()), j);
    return true;
}

void CHTTPHeaderStore::Clear()
{
    m_vecHeaders.clear();
    m_mapIndex.clear();
}
