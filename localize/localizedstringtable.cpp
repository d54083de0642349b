// CLocalizedStringTable: entries, pools, lookups, the file list, saving and the language.
#include "localize/localizedstringtable.h"

#include "foundation/dbg.h"
#include "foundation/filesystem.h"
#include "foundation/platform/registry.h"
#include "foundation/strtools.h"
#include "localize/localizefilesymbols.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
// The user's language: HKEY_CURRENT_USER\Software\Quill\Ferro\Language
const char k_pchLanguageKey[] = "Software\\Quill\\Ferro";

// One leading "#" of a token is not part of its name.
const char *StripHash(const char *pchToken)
{
    return *pchToken == '#' ? pchToken + 1 : pchToken;
}

// UTF-16 little-endian output of SaveToFile.
class CWideFileWriter
{
public:
    explicit CWideFileWriter(FILE *pFile) : m_pFile(pFile) {}
    void PutUnits(const wchar16 *pwch, int cch)
    {
        for (int i = 0; i < cch; ++i)
        {
            unsigned char rgub[2] = {(unsigned char)(pwch[i] & 0xFF), (unsigned char)(pwch[i] >> 8)};
            if (fwrite(rgub, 1, 2, m_pFile) != 2)
                m_bFailed = true;
        }
    }
    void PutWide(const wchar16 *pwch) { PutUnits(pwch, Q_wcslen(pwch)); }
    void PutUTF8(const char *pch)
    {
        std::u16string wstr((size_t)Q_UTF8ToUnicode(pch, nullptr, 0, k_EStringConvertReplace) / 2 + 1, 0);
        Q_UTF8ToUnicode(pch, &wstr[0], (int)(wstr.size() * sizeof(wchar16)), k_EStringConvertReplace);
        PutWide(wstr.c_str());
    }
    // A text in quotes; its quotes written as backslash-quote, which the reader turns back.
    void PutQuoted(const wchar16 *pwch)
    {
        PutWide(u"\"");
        for (; *pwch; ++pwch)
        {
            if (*pwch == '"')
                PutWide(u"\\\"");
            else
                PutUnits(pwch, 1);
        }
        PutWide(u"\"");
    }
    bool BFailed() const { return m_bFailed; }

private:
    FILE *m_pFile;
    bool m_bFailed = false;
};
} // namespace

// ---- comparison ----

bool CLocalizedStringTable::NameLess_t::operator()(int a, int b) const
{
    return Q_stricmp(m_pTable->NameAt(a), m_pTable->NameAt(b)) < 0;
}

bool CLocalizedStringTable::NameLess_t::operator()(int a, const char *b) const
{
    return Q_stricmp(m_pTable->NameAt(a), b) < 0;
}

bool CLocalizedStringTable::NameLess_t::operator()(const char *a, int b) const
{
    return Q_stricmp(a, m_pTable->NameAt(b)) < 0;
}

size_t CLocalizedStringTable::ValueHash_t::operator()(int nOffset) const
{
    // FNV-1a over the units.
    size_t unHash = 2166136261u;
    for (const wchar16 *pwch = m_pTable->m_ValuePool.At(nOffset); *pwch; ++pwch)
        unHash = (unHash ^ *pwch) * 16777619u;
    return unHash;
}

bool CLocalizedStringTable::ValueEqual_t::operator()(int a, int b) const
{
    const wchar16 *pwchA = m_pTable->m_ValuePool.At(a);
    const wchar16 *pwchB = m_pTable->m_ValuePool.At(b);
    while (*pwchA && *pwchA == *pwchB)
    {
        ++pwchA;
        ++pwchB;
    }
    return *pwchA == *pwchB;
}

// ---- construction ----

CLocalizedStringTable::CLocalizedStringTable()
    : m_NamePool(k_cchNamePoolGrowStep), m_ValuePool(k_cchValuePoolGrowStep), m_setByName(NameLess_t{this}),
      m_unCurrentFile(k_unInvalidLocalizeFileSymbol), m_pFileSystem(nullptr)
{
    m_rgchFileLanguage[0] = 0;
}

CLocalizedStringTable::~CLocalizedStringTable() = default;

void CLocalizedStringTable::RemoveAll()
{
    m_setByName.clear();
    m_vecEntries.clear();
    m_NamePool.Purge();
    m_ValuePool.Purge();
    m_vecFiles.RemoveAll();
    if (m_pLoadValues)
        m_pLoadValues->clear();
}

CFileSystem *CLocalizedStringTable::FileSystemToUse()
{
    return m_pFileSystem ? m_pFileSystem : FileSystem();
}

// ---- lookups ----

LocalizeStringIndex_t CLocalizedStringTable::FindIndex(const char *pchToken)
{
    if (!pchToken)
        return k_nInvalidLocalizeStringIndex;
    auto it = m_setByName.find(StripHash(pchToken));
    return it == m_setByName.end() ? k_nInvalidLocalizeStringIndex : *it;
}

const wchar16 *CLocalizedStringTable::FindText(const char *pchToken)
{
    return GetValueByIndex(FindIndex(pchToken));
}

const char *CLocalizedStringTable::GetNameByIndex(LocalizeStringIndex_t nIndex)
{
    return BIsValidIndex(nIndex) ? NameAt(nIndex) : nullptr;
}

const wchar16 *CLocalizedStringTable::GetValueByIndex(LocalizeStringIndex_t nIndex)
{
    return BIsValidIndex(nIndex) ? m_ValuePool.At(m_vecEntries[(size_t)nIndex].m_nValueOffset) : nullptr;
}

LocalizeStringIndex_t CLocalizedStringTable::GetFirstStringIndex()
{
    return m_setByName.empty() ? k_nInvalidLocalizeStringIndex : *m_setByName.begin();
}

LocalizeStringIndex_t CLocalizedStringTable::GetNextStringIndex(LocalizeStringIndex_t nIndex)
{
    if (!BIsValidIndex(nIndex))
        return k_nInvalidLocalizeStringIndex;
    auto it = m_setByName.find(nIndex);
    if (it == m_setByName.end() || ++it == m_setByName.end())
        return k_nInvalidLocalizeStringIndex;
    return *it;
}

const char *CLocalizedStringTable::FindAsUTF8(const char *pchToken)
{
    static char s_rgchBuffer[k_cubFindAsUTF8Buffer];
    const wchar16 *pwchValue = FindText(pchToken);
    if (!pwchValue)
        return pchToken;
    ConvertUnicodeToUTF8(pwchValue, s_rgchBuffer, sizeof(s_rgchBuffer));
    return s_rgchBuffer;
}

int CLocalizedStringTable::ConvertUTF8ToUnicode(const char *pchUTF8, wchar16 *pwchOut, int cubOut)
{
    return Q_UTF8ToUnicode(pchUTF8, pwchOut, cubOut, k_EStringConvertReplace);
}

int CLocalizedStringTable::ConvertUnicodeToUTF8(const wchar16 *pwchText, char *pchOut, int cubOut)
{
    return Q_UnicodeToUTF8(pwchText, pchOut, cubOut, k_EStringConvertReplace);
}

// ---- adding and changing ----

int CLocalizedStringTable::StoreValue(const wchar16 *pwchValue, int cchValue)
{
    int nOffset = m_ValuePool.Append(pwchValue, cchValue + 1);
    if (nOffset < 0 || !m_pLoadValues)
        return nOffset;
    // Stored tentatively: an identical text already there takes its place.
    auto it = m_pLoadValues->find(nOffset);
    if (it != m_pLoadValues->end())
    {
        m_ValuePool.Truncate(nOffset);
        return *it;
    }
    m_pLoadValues->insert(nOffset);
    return nOffset;
}

void CLocalizedStringTable::AddString(const char *pchToken, const wchar16 *pwchValue, const char *pchFileName)
{
    if (!pchToken || !pwchValue)
    {
        AssertFailed("CLocalizedStringTable::AddString: NULL token or value");
        return;
    }
    const char *pchName = StripHash(pchToken);

    // Carriage returns go; a copy also keeps a text that lies in the pool itself safe.
    std::u16string wstrValue;
    for (const wchar16 *pwch = pwchValue; *pwch; ++pwch)
    {
        if (*pwch != '\r')
            wstrValue += *pwch;
    }
    int nValueOffset = StoreValue(wstrValue.c_str(), (int)wstrValue.size());
    if (nValueOffset < 0)
    {
        AssertFailed("CLocalizedStringTable::AddString: the value pool cannot grow");
        return;
    }
    uint16 unFile = pchFileName ? CLocalizeFileSymbols::AddName(pchFileName) : m_unCurrentFile;

    LocalizeStringIndex_t nIndex = FindIndex(pchName);
    if (nIndex != k_nInvalidLocalizeStringIndex)
    {
        m_vecEntries[(size_t)nIndex].m_nValueOffset = nValueOffset;
        m_vecEntries[(size_t)nIndex].m_unFileSymbol = unFile;
        return;
    }
    int nNameOffset = m_NamePool.Append(pchName, (int)strlen(pchName) + 1);
    if (nNameOffset < 0)
    {
        AssertFailed("CLocalizedStringTable::AddString: the name pool cannot grow");
        return;
    }
    m_vecEntries.push_back(LocalizedEntry_t{nNameOffset, nValueOffset, unFile});
    m_setByName.insert((int)m_vecEntries.size() - 1);
}

bool CLocalizedStringTable::BValueShared(LocalizeStringIndex_t nIndex) const
{
    const int nOffset = m_vecEntries[(size_t)nIndex].m_nValueOffset;
    for (size_t i = 0; i < m_vecEntries.size(); ++i)
    {
        if ((int)i != nIndex && m_vecEntries[i].m_nValueOffset == nOffset)
            return true;
    }
    return false;
}

void CLocalizedStringTable::SetValueByIndex(LocalizeStringIndex_t nIndex, const wchar16 *pwchValue)
{
    if (!BIsValidIndex(nIndex) || !pwchValue)
    {
        AssertFailed("CLocalizedStringTable::SetValueByIndex: invalid index or NULL value");
        return;
    }
    LocalizedEntry_t &entry = m_vecEntries[(size_t)nIndex];
    int cchOld = Q_wcslen(m_ValuePool.At(entry.m_nValueOffset));
    int cchNew = Q_wcslen(pwchValue);
    // In place only where no other entry (sharing the text) and no load would see it.
    if (cchNew <= cchOld && !m_pLoadValues && !BValueShared(nIndex))
    {
        memmove(m_ValuePool.At(entry.m_nValueOffset), pwchValue, ((size_t)cchNew + 1) * sizeof(wchar16));
        return;
    }
    int nOffset = m_ValuePool.Append(pwchValue, cchNew + 1);
    if (nOffset < 0)
    {
        AssertFailed("CLocalizedStringTable::SetValueByIndex: the value pool cannot grow");
        return;
    }
    m_vecEntries[(size_t)nIndex].m_nValueOffset = nOffset;
}

// ---- files ----

int CLocalizedStringTable::GetFileCount()
{
    return m_vecFiles.Count();
}

const char *CLocalizedStringTable::GetFileName(int nPosition)
{
    return m_vecFiles.IsValidIndex(nPosition) ? CLocalizeFileSymbols::GetName(m_vecFiles[nPosition])
                                              : nullptr;
}

const char *CLocalizedStringTable::GetFileNameByIndex(LocalizeStringIndex_t nIndex)
{
    if (!BIsValidIndex(nIndex))
        return nullptr;
    return CLocalizeFileSymbols::GetName(m_vecEntries[(size_t)nIndex].m_unFileSymbol);
}

void CLocalizedStringTable::ReloadFiles()
{
    // AddFile moves each file to the end of the list: walk a copy.
    CUtlVector<uint16> vecFiles = m_vecFiles;
    for (uint16 unFile : vecFiles)
    {
        const char *pchName = CLocalizeFileSymbols::GetName(unFile);
        if (pchName)
            AddFile(FileSystemToUse(), pchName);
    }
}

bool CLocalizedStringTable::ReloadFile(const char *pchFileName)
{
    uint16 unFile = CLocalizeFileSymbols::FindName(pchFileName);
    if (unFile == k_unInvalidLocalizeFileSymbol || !m_vecFiles.HasElement(unFile))
        return false;
    Msg("reloading localization file %s\n", pchFileName);
    ReloadFiles();
    return true;
}

bool CLocalizedStringTable::SaveToFile(const char *pchFileName)
{
    FILE *pFile = FileSystemToUse()->OpenForWrite(pchFileName, nullptr, false);
    if (!pFile)
        return false;
    const uint16 unFile = CLocalizeFileSymbols::FindName(pchFileName);

    CWideFileWriter writer(pFile);
    const unsigned char rgubMark[2] = {0xFF, 0xFE};
    fwrite(rgubMark, 1, sizeof(rgubMark), pFile);
    writer.PutWide(u"\"lang\"\r\n{\r\n\"Language\" \"English\"\r\n\"Tokens\"\r\n{\r\n");
    for (int nIndex : m_setByName)
    {
        const LocalizedEntry_t &entry = m_vecEntries[(size_t)nIndex];
        if (unFile == k_unInvalidLocalizeFileSymbol || entry.m_unFileSymbol != unFile)
            continue;
        writer.PutWide(u"\t\"");
        writer.PutUTF8(NameAt(nIndex));
        writer.PutWide(u"\"\t\t");
        writer.PutQuoted(m_ValuePool.At(entry.m_nValueOffset));
        writer.PutWide(u"\r\n");
    }
    writer.PutWide(u"}\r\n}\r\n");
    bool bFailed = writer.BFailed() || ferror(pFile);
    if (fclose(pFile) != 0)
        bFailed = true;
    return !bFailed;
}

// ---- language ----

// The language becomes part of a file name: only letters, digits, '_' and '-' may reach it,
// so that a registry value like "..\\..\\x" cannot point the loader at another file.
static bool BIsLanguageName(const char *pchLanguage)
{
    for (const char *pch = pchLanguage; *pch; ++pch)
    {
        char ch = *pch;
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
              ch == '-'))
            return false;
    }
    return true;
}

const char *CLocalizedStringTable::GetLanguage()
{
    if (!m_strUserLanguage.IsEmpty())
        return m_strUserLanguage.Get();
    char rgchLanguage[k_cchMaxLanguage + 1];
    if (!PLAT_RegistryReadString(k_EPlatRegistryHiveCurrentUser, k_pchLanguageKey, "Language", rgchLanguage,
                                 sizeof(rgchLanguage)) ||
        !BIsLanguageName(rgchLanguage))
        Q_strncpy(rgchLanguage, "english", sizeof(rgchLanguage));
    m_strUserLanguage = rgchLanguage;
    return m_strUserLanguage.Get();
}

ILocalize *Localize()
{
    static CLocalizedStringTable *s_pTable = new CLocalizedStringTable();
    return s_pTable;
}
