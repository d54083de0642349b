#include "ferroexe/installedfilelist.h"

#include "crypto/sha256.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"

#include <cstdlib>
#include <cstring>
#include <vector>

std::string WithoutLineEnd(std::string str)
{
    while (!str.empty() && (str.back() == '\n' || str.back() == '\r'))
        str.pop_back();
    return str;
}

bool InstalledFile_t::BIsDirectoryItem() const
{
    return m_llSize == -1 || (!m_strPath.empty() && Q_IsPathSeparator(m_strPath.back()));
}

std::string InstalledFileKey(const std::string &strPath)
{
    std::string str = strPath;
    for (char &ch : str)
        ch = ch == '\\' ? '/' : Q_tolower_ascii(ch);
    size_t iStart = 0;
    while (str.compare(iStart, 2, "./") == 0)
        iStart += 2;
    return str.substr(iStart);
}

std::string FormatInstalledFileLine(const std::string &strPath, int64 llSize, const std::string &strSHA256,
                                    const std::string &strPackage)
{
    // The two fields every reader knows, then those that older readers ignore.
    std::vector<char> vecLine(strPath.size() + 32);
    Q_snprintf(vecLine.data(), (int)vecLine.size(), "%s,%lld", strPath.c_str(), (long long)llSize);
    return std::string(vecLine.data()) + "," + strSHA256 + "," + strPackage + "\n";
}

CInstalledFileListReader::CInstalledFileListReader(const char *pchPath) : m_pFile(PLAT_fopen(pchPath, "r")) {}

CInstalledFileListReader::~CInstalledFileListReader()
{
    if (m_pFile)
        fclose(m_pFile);
}

CInstalledFileListReader::ELine CInstalledFileListReader::Next(InstalledFile_t *pFile, std::string *pstrLine)
{
    pstrLine->clear();
    if (!m_pFile)
        return k_ELineEnd;
    // A whole line, in pieces; what goes beyond the limit is read and dropped.
    char rgchPiece[1024];
    bool bTooLong = false;
    bool bAny = false;
    while (fgets(rgchPiece, sizeof(rgchPiece), m_pFile))
    {
        bAny = true;
        size_t cchPiece = strlen(rgchPiece);
        if (pstrLine->size() + cchPiece > k_cchMaxInstalledListLine + 1)
            bTooLong = true;
        else
            pstrLine->append(rgchPiece, cchPiece);
        if (cchPiece > 0 && rgchPiece[cchPiece - 1] == '\n')
            break;
    }
    if (!bAny)
        return k_ELineEnd;

    size_t iComma = pstrLine->find(',');
    if (bTooLong || iComma == std::string::npos)
        return k_ELineMalformed;

    *pFile = InstalledFile_t();
    pFile->m_strPath = pstrLine->substr(0, iComma);
    std::string strRest = pstrLine->substr(iComma + 1);
    size_t iSecond = strRest.find(',');
    // Without a third field the size runs to the end of the line, its end included.
    pFile->m_strSizeField = iSecond == std::string::npos ? strRest : strRest.substr(0, iSecond);
    pFile->m_llSize = (int64)strtoll(pFile->m_strSizeField.c_str(), nullptr, 10);
    if (iSecond != std::string::npos)
    {
        std::string strFields = WithoutLineEnd(strRest.substr(iSecond + 1));
        size_t iThird = strFields.find(',');
        std::string strHash = strFields.substr(0, iThird);
        if (BIsSHA256Hex(strHash.c_str(), strHash.size()))
        {
            for (char &ch : strHash)
                ch = Q_tolower_ascii(ch);
            pFile->m_strSHA256 = strHash;
        }
        if (iThird != std::string::npos)
            pFile->m_strPackage = strFields.substr(iThird + 1);
    }
    return k_ELineEntry;
}
