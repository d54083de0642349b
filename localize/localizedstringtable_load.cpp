// CLocalizedStringTable: loading language files.
#include "foundation/dbg.h"
#include "foundation/filesystem.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"
#include "localize/localizedstringtable.h"
#include "localize/localizefilesymbols.h"
#include "localize/localizetokenreader.h"

#include <cstring>
#include <vector>

namespace
{
const char k_pchLanguageVariable[] = "%language%";

// The name with "%language%" replaced by the language, cut to the path buffer.
void ExpandLanguage(const char *pchName, const char *pchLanguage, char *pchOut, int cubOut)
{
    const char *pchVariable = strstr(pchName, k_pchLanguageVariable);
    Q_strncpy(pchOut, pchName, cubOut);
    if (!pchVariable)
        return;
    int cchPrefix = (int)(pchVariable - pchName);
    if (cchPrefix < cubOut)
        pchOut[cchPrefix] = 0;
    Q_strncat(pchOut, pchLanguage, cubOut);
    Q_strncat(pchOut, pchVariable + strlen(k_pchLanguageVariable), cubOut);
}

// UTF-16 little-endian bytes as units, NUL-terminated. An odd last byte becomes a unit of
// its own, as if the file went on with a zero byte.
std::vector<wchar16> DecodeUTF16LE(const unsigned char *pub, int cub)
{
    std::vector<wchar16> vecText;
    vecText.reserve((size_t)cub / 2 + 2);
    int i = 0;
    for (; i + 1 < cub; i += 2)
        vecText.push_back((wchar16)(pub[i] | (pub[i + 1] << 8)));
    if (i < cub)
        vecText.push_back((wchar16)pub[i]);
    vecText.push_back(0);
    return vecText;
}
} // namespace

bool CLocalizedStringTable::AddFile(CFileSystem *pFileSystem, const char *pchFileName)
{
    if (!pchFileName)
    {
        AssertFailed("ILocalize::AddFile: NULL file name");
        return false;
    }
    if (pFileSystem)
        m_pFileSystem = pFileSystem;

    char rgchName[MAX_PATH_BYTES];
    Q_strncpy(rgchName, pchFileName, sizeof(rgchName));
    Q_FixSlashes(rgchName, '\\');
    if (!strstr(rgchName, k_pchLanguageVariable))
        return AddFileByName(FileSystemToUse(), rgchName);

    // English first, then the user's language over it: it wins wherever it has a text and
    // English fills the gaps.
    char rgchLanguageName[MAX_PATH_BYTES];
    ExpandLanguage(rgchName, "english", rgchLanguageName, sizeof(rgchLanguageName));
    bool bResult = AddFile(pFileSystem, rgchLanguageName);
    const char *pchLanguage = GetLanguage();
    if (!*pchLanguage || !Q_stricmp(pchLanguage, "english"))
        return bResult;
    ExpandLanguage(rgchName, pchLanguage, rgchLanguageName, sizeof(rgchLanguageName));
    AddFile(pFileSystem, rgchLanguageName);
    return bResult;
}

bool CLocalizedStringTable::AddFileByName(CFileSystem *pFileSystem, const char *pchFileName)
{
    CUtlBuffer buf;
    if (!pFileSystem->LoadFileIntoBuffer(pchFileName, buf, false, nullptr))
    {
        // A developer's line: a fresh install has no language files until its first update,
        // and the callers fall back to their English texts. Shown from level 3 on.
        DMsg("localize", 3, "ILocalize::AddFile() failed to load file \"%s\".\n", pchFileName);
        return false;
    }
    const int cubData = buf.TellMaxPut();
    // Two zero bytes after the data, so that UTF-16 text ends in a NUL as well.
    buf.PutChar(0);
    buf.PutChar(0);
    const unsigned char *pubData = (const unsigned char *)buf.Base();

    MakeFileCurrent(pchFileName);
    BeginValueSharing();
    if (cubData >= 2 && pubData[0] == 0xFF && pubData[1] == 0xFE)
    {
        if (cubData % 2)
            Msg("ILocalize::AddFile() file \"%s\" holds an odd number of UTF-16 bytes.\n", pchFileName);
        std::vector<wchar16> vecText = DecodeUTF16LE(pubData + 2, cubData - 2);
        CLocalizeTokenReader16 reader(vecText.data(), 2, pchFileName);
        ParseFile(reader, pchFileName);
    }
    else if (cubData >= 2 && pubData[0] != 0 && pubData[1] == 0)
    {
        // UTF-16 without its mark: no 8-bit text starts with a character and a zero byte.
        std::vector<wchar16> vecText = DecodeUTF16LE(pubData, cubData);
        CLocalizeTokenReader16 reader(vecText.data(), 0, pchFileName);
        ParseFile(reader, pchFileName);
    }
    else
    {
        int nStart = (cubData >= 3 && !memcmp(pubData, "\xEF\xBB\xBF", 3)) ? 3 : 0;
        CLocalizeTokenReader8 reader((const char *)pubData + nStart, cubData - nStart, pchFileName);
        ParseFile(reader, pchFileName);
    }
    EndValueSharing();
    m_unCurrentFile = k_unInvalidLocalizeFileSymbol;
    return true;
}

void CLocalizedStringTable::MakeFileCurrent(const char *pchFileName)
{
    m_unCurrentFile = CLocalizeFileSymbols::AddName(pchFileName);
    if (m_unCurrentFile == k_unInvalidLocalizeFileSymbol)
        return;
    m_vecFiles.FindAndRemove(m_unCurrentFile);
    m_vecFiles.AddToTail(m_unCurrentFile);
}

void CLocalizedStringTable::BeginValueSharing()
{
    m_pLoadValues.reset(new ValueSet_t(m_vecEntries.size() * 2 + 16, ValueHash_t{this}, ValueEqual_t{this}));
    for (const LocalizedEntry_t &entry : m_vecEntries)
        m_pLoadValues->insert(entry.m_nValueOffset);
}

void CLocalizedStringTable::EndValueSharing()
{
    m_pLoadValues.reset();
}

// Pairs of key and value. Outside the Tokens block only "Language" counts; inside it every
// pair is a text, except the English source texts of a translation.
void CLocalizedStringTable::ParseFile(ILocalizeTokenReader &reader, const char *pchFileName)
{
    const bool bEnglishFile = Q_stristr(pchFileName, "_english.txt") != nullptr;
    char rgchKey[ILocalizeTokenReader::k_cubKeyBuffer];
    std::vector<wchar16> vecValue(ILocalizeTokenReader::k_cchValueBuffer);
    wchar16 *pwchValue = vecValue.data();
    bool bInTokens = false;
    bool bSawTokens = false;
    for (;;)
    {
        if (!reader.BReadKey(rgchKey))
            break;
        if (!strcmp(rgchKey, "}"))
        {
            if (!bInTokens)
                break;
            bInTokens = false;
            continue;
        }
        if (!reader.BReadValue(pwchValue))
            break;
        if (!bInTokens)
        {
            if (!Q_stricmp(rgchKey, "Language"))
            {
                ConvertUnicodeToUTF8(pwchValue, m_rgchFileLanguage, sizeof(m_rgchFileLanguage));
            }
            else if (!Q_stricmp(rgchKey, "Tokens"))
            {
                bInTokens = true;
                bSawTokens = true;
            }
            continue;
        }
        if (!bEnglishFile && Q_StringHasPrefix(rgchKey, "[english]"))
            continue;
        AddString(rgchKey, pwchValue, nullptr);
    }
    if (bInTokens)
        Msg("ILocalize::AddFile() file \"%s\" ends inside its \"Tokens\" block.\n", pchFileName);
    else if (!bSawTokens)
        Msg("ILocalize::AddFile() file \"%s\" has no \"Tokens\" block.\n", pchFileName);
}
