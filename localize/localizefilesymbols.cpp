// The process-wide table of localization file names.
#include "localize/localizefilesymbols.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace
{
struct CaseInsensitiveLess
{
    bool operator()(const std::string &a, const std::string &b) const
    {
        return Q_stricmp(a.c_str(), b.c_str()) < 0;
    }
};

struct FileSymbolTable_t
{
    std::mutex m_Mutex;
    // A deque keeps every name where it is, so the pointers handed out stay valid.
    std::deque<std::string> m_dequeNames;
    std::map<std::string, uint16, CaseInsensitiveLess> m_mapSymbols;
};

FileSymbolTable_t &Table()
{
    static FileSymbolTable_t *s_pTable = new FileSymbolTable_t();
    return *s_pTable;
}

// Names are kept the way AddFile forms them, with backslashes.
std::string NormalizedName(const char *pchName)
{
    std::string strName = pchName;
    for (char &ch : strName)
    {
        if (ch == '/')
            ch = '\\';
    }
    return strName;
}

// The symbol of a name; a new name gets one only when bAdd.
uint16 SymbolOf(const char *pchName, bool bAdd)
{
    if (!pchName)
        return k_unInvalidLocalizeFileSymbol;
    FileSymbolTable_t &table = Table();
    std::string strName = NormalizedName(pchName);
    std::lock_guard<std::mutex> lock(table.m_Mutex);
    auto it = table.m_mapSymbols.find(strName);
    if (it != table.m_mapSymbols.end())
        return it->second;
    if (!bAdd)
        return k_unInvalidLocalizeFileSymbol;
    if (table.m_dequeNames.size() >= k_unInvalidLocalizeFileSymbol)
    {
        AssertFailed("CLocalizeFileSymbols: no symbol left for another file name");
        return k_unInvalidLocalizeFileSymbol;
    }
    uint16 unSymbol = (uint16)table.m_dequeNames.size();
    table.m_dequeNames.emplace_back(strName);
    table.m_mapSymbols.emplace(table.m_dequeNames.back(), unSymbol);
    return unSymbol;
}
} // namespace

uint16 CLocalizeFileSymbols::AddName(const char *pchName)
{
    return SymbolOf(pchName, true);
}

uint16 CLocalizeFileSymbols::FindName(const char *pchName)
{
    return SymbolOf(pchName, false);
}

const char *CLocalizeFileSymbols::GetName(uint16 unSymbol)
{
    FileSymbolTable_t &table = Table();
    std::lock_guard<std::mutex> lock(table.m_Mutex);
    if (unSymbol >= table.m_dequeNames.size())
        return nullptr;
    return table.m_dequeNames[unSymbol].c_str();
}
