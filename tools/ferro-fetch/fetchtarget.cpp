#include "fetchtarget.h"

#include "http/httpredirect.h"

#include "foundation/platform/file.h"
#include "foundation/platform/process.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
std::string Lower(std::string str)
{
    for (char &ch : str)
        ch = (char)tolower((unsigned char)ch);
    return str;
}

} // namespace

bool BCheckFetchURL(const std::string &strURL, std::string *pstrRequestURL, std::string *pstrReason)
{
    size_t iSchemeEnd = strURL.find("://");
    if (iSchemeEnd == std::string::npos || !BIsURIScheme(strURL.substr(0, iSchemeEnd)))
    {
        *pstrReason = "no scheme (expected http://host[:port]/path)";
        return false;
    }
    std::string strScheme = Lower(strURL.substr(0, iSchemeEnd));
    if (strScheme == "https")
    {
        *pstrReason = "https is not supported (the launcher's HTTP client has no TLS)";
        return false;
    }
    if (strScheme != "http")
    {
        *pstrReason = "unsupported scheme \"" + strScheme + "\" (only http)";
        return false;
    }
    std::string strRest = strURL.substr(iSchemeEnd + 3);
    strRest = strRest.substr(0, strRest.find('#'));
    size_t iAuthorityEnd = strRest.find_first_of("/?");
    std::string strAuthority = strRest.substr(0, iAuthorityEnd);
    std::string strPathAndQuery = iAuthorityEnd == std::string::npos ? "" : strRest.substr(iAuthorityEnd);
    if (strAuthority.find('@') != std::string::npos)
    {
        *pstrReason = "user information in the URL is not supported";
        return false;
    }
    if (!strAuthority.empty() && strAuthority[0] == '[')
    {
        *pstrReason = "IPv6 addresses are not supported";
        return false;
    }
    size_t iColon = strAuthority.find(':');
    if (strAuthority.empty() || iColon == 0)
    {
        *pstrReason = "empty host";
        return false;
    }
    if (iColon != std::string::npos)
    {
        std::string strPort = strAuthority.substr(iColon + 1);
        bool bDigits = !strPort.empty() && strPort.size() <= 5;
        for (char ch : strPort)
            bDigits = bDigits && isdigit((unsigned char)ch);
        long nPort = bDigits ? strtol(strPort.c_str(), nullptr, 10) : 0;
        if (nPort < 1 || nPort > 65535)
        {
            *pstrReason = "invalid port \"" + strPort + "\" (must be 1 to 65535)";
            return false;
        }
    }
    if (strPathAndQuery.empty() || strPathAndQuery[0] == '?')
        strPathAndQuery = "/" + strPathAndQuery;
    *pstrRequestURL = "http://" + strAuthority + strPathAndQuery;
    return true;
}

bool BFileNameFromURL(const std::string &strRequestURL, std::string *pstrFileName, std::string *pstrReason)
{
    // The URL is in the checked form: "http://authority/path[?query]".
    std::string strPath = strRequestURL.substr(0, strRequestURL.find('?'));
    std::string strName = strPath.substr(strPath.rfind('/') + 1);
    if (strName.empty())
    {
        *pstrReason = "the URL's path has no file name to write the body to";
        return false;
    }
    bool bSafe = strName != "." && strName != "..";
    for (char ch : strName)
        bSafe = bSafe && ch != '\\' && ch != ':' && (unsigned char)ch >= 0x20 && ch != 0x7F;
    if (!bSafe)
    {
        *pstrReason = "the file name \"" + strName + "\" could leave the output directory; nothing written";
        return false;
    }
    *pstrFileName = strName;
    return true;
}

CFetchOutputFile::CFetchOutputFile(const std::string &strDir, const std::string &strFileName)
    : m_strFinal(strDir + "/" + strFileName), m_strTemp(strDir + "/." + strFileName + ".ferro-fetch-" +
                                                        std::to_string(PLAT_GetCurrentProcessId()) + ".part"),
      m_pFile(nullptr), m_cubWritten(0), m_bFailed(false), m_bCommitted(false)
{
}

CFetchOutputFile::~CFetchOutputFile()
{
    if (!m_bCommitted)
        Discard();
}

void CFetchOutputFile::Discard()
{
    if (m_pFile)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
        PLAT_DeleteFile(m_strTemp.c_str());
    }
}

bool CFetchOutputFile::BWriteBodySoFar(const uint8 *pubBody, uint64 cubBody, std::string *pstrReason)
{
    if (m_bFailed || m_bCommitted)
        return false;
    if (cubBody < m_cubWritten)
    {
        Discard();
        m_cubWritten = 0;
    }
    if (!m_pFile)
    {
        m_pFile = PLAT_fopen(m_strTemp.c_str(), "wb");
        if (!m_pFile)
        {
            *pstrReason = "cannot create " + m_strTemp + ": " + strerror(errno);
            m_bFailed = true;
            return false;
        }
    }
    if (cubBody == m_cubWritten)
        return true;
    size_t cubNew = (size_t)(cubBody - m_cubWritten);
    if (fwrite(pubBody + m_cubWritten, 1, cubNew, m_pFile) != cubNew)
    {
        *pstrReason = "cannot write " + m_strTemp + ": " + strerror(errno);
        m_bFailed = true;
        Discard();
        return false;
    }
    m_cubWritten = cubBody;
    return true;
}

bool CFetchOutputFile::BCommit(std::string *pstrReason)
{
    if (m_bFailed || m_bCommitted || !m_pFile)
        return false;
    errno = 0;
    bool bFlushed = fflush(m_pFile) == 0;
    int nErrno = errno;
    bFlushed = fclose(m_pFile) == 0 && bFlushed;
    m_pFile = nullptr;
    if (!bFlushed)
    {
        *pstrReason = "cannot write " + m_strTemp + ": " + strerror(nErrno ? nErrno : errno);
        m_bFailed = true;
        PLAT_DeleteFile(m_strTemp.c_str());
        return false;
    }
    if (!PLAT_RenameReplace(m_strTemp.c_str(), m_strFinal.c_str()))
    {
        *pstrReason = "cannot rename " + m_strTemp + " to " + m_strFinal;
        m_bFailed = true;
        PLAT_DeleteFile(m_strTemp.c_str());
        return false;
    }
    m_bCommitted = true;
    return true;
}
