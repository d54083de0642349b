#include "ferroexe/packagedownloadsink.h"

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"
#include "http/http.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
// Reads of the digest check: large enough to be quick, small enough to stay out of the way.
const size_t k_cubDigestRead = 1024 * 1024;

// A decimal of up to 19 digits at *ppch; false for none or more.
bool BReadDecimal(const char **ppch, uint64 *pulValue)
{
    const char *pch = *ppch;
    uint64 ulValue = 0;
    int cDigits = 0;
    for (; *pch >= '0' && *pch <= '9'; ++pch, ++cDigits)
    {
        if (cDigits >= 19)
            return false;
        ulValue = ulValue * 10 + (uint64)(*pch - '0');
    }
    *ppch = pch;
    *pulValue = ulValue;
    return cDigits > 0;
}
} // namespace

bool BContentRangeContinues(const char *pchContentRange, uint64 cubFrom, uint64 cubTotal)
{
    if (!pchContentRange)
        return false;
    const char *pch = pchContentRange;
    while (*pch == ' ')
        ++pch;
    if (Q_strnicmp(pch, "bytes", 5) != 0)
        return false;
    pch += 5;
    while (*pch == ' ')
        ++pch;
    uint64 ulFirst = 0, ulLast = 0, ulTotal = 0;
    if (!BReadDecimal(&pch, &ulFirst) || *pch++ != '-' || !BReadDecimal(&pch, &ulLast) || *pch++ != '/')
        return false;
    if (*pch == '*')
    {
        ++pch;
        ulTotal = cubTotal;
    }
    else if (!BReadDecimal(&pch, &ulTotal))
    {
        return false;
    }
    while (*pch == ' ')
        ++pch;
    return *pch == '\0' && ulFirst == cubFrom && cubTotal > 0 && ulLast == cubTotal - 1 &&
           ulTotal == cubTotal;
}

bool BSHA1MatchesArchiveName(const char *pchArchiveName, const uint8 *pubSHA1)
{
    const char *pchDot = strrchr(pchArchiveName, '.');
    if (!pchDot)
        return false;
    uint8 rgubExpected[k_cubSHA1Hash] = {};
    Q_hextobinary(pchDot + 1, (int)strlen(pchDot + 1), rgubExpected, (int)sizeof(rgubExpected));
    return memcmp(rgubExpected, pubSHA1, k_cubSHA1Hash) == 0;
}

bool BCheckPackageFileSHA1(const char *pchArchiveName, const char *pchPath, std::string *pstrSHA256)
{
    if (!strrchr(pchArchiveName, '.'))
        return false;
    FILE *pFile = PLAT_fopen(pchPath, "rb");
    if (!pFile)
        return false;
    std::vector<uint8> vecBuffer(k_cubDigestRead);
    CSHA1 sha1;
    sha1.Reset();
    CSHA256 sha256;
    size_t cubRead;
    while ((cubRead = fread(vecBuffer.data(), 1, vecBuffer.size(), pFile)) > 0)
    {
        sha1.Update(vecBuffer.data(), (uint32)cubRead);
        sha256.Update(vecBuffer.data(), cubRead);
    }
    *pstrSHA256 = sha256.FinalHex();
    const bool bReadOk = !ferror(pFile);
    fclose(pFile);
    uint8 rgubActual[k_cubSHA1Hash];
    sha1.Final(rgubActual);
    return bReadOk && BSHA1MatchesArchiveName(pchArchiveName, rgubActual);
}

CPackageDownloadSink::CPackageDownloadSink(IInstallFileOps &ops, const std::string &strPartPath,
                                           uint64 cubPackage)
    : m_Ops(ops), m_strPartPath(strPartPath), m_cubPackage(cubPackage)
{
    ResetDigests();
}

CPackageDownloadSink::~CPackageDownloadSink() = default;

uint64 CPackageDownloadSink::PrepareRequest(CHTTPClientRequest *pRequest, bool *pbDiscarded)
{
    *pbDiscarded = false;
    m_pWriter.reset();
    m_eFailure = k_EFailureNone;
    m_nWriteErrno = 0;
    m_cubAnnounced = 0;
    m_cubThisAttempt = 0;
    int64 cubPart = m_Ops.GetFileSize(m_strPartPath.c_str());
    if (cubPart > 0 && (uint64)cubPart > m_cubPackage)
    {
        // Not a beginning of this package: whatever wrote it, it cannot be continued.
        *pbDiscarded = true;
        DiscardPart();
        cubPart = 0;
    }
    if (cubPart > 0 && !BHashPartOnDisk((uint64)cubPart))
    {
        // A part that cannot be read cannot be checked either: it starts over.
        *pbDiscarded = true;
        DiscardPart();
        cubPart = 0;
    }
    m_cubRequestedFrom = cubPart > 0 ? (uint64)cubPart : 0;
    m_cubOnDisk = m_cubRequestedFrom;
    if (pRequest && m_cubRequestedFrom > 0 && m_cubRequestedFrom < m_cubPackage)
    {
        char rgchRange[64];
        Q_snprintf(rgchRange, sizeof(rgchRange), "bytes=%llu-", (unsigned long long)m_cubRequestedFrom);
        pRequest->SetRequestHeaderValue("Range", rgchRange);
    }
    if (pRequest)
        pRequest->SetRequestHeaderValue("Accept-Encoding", "identity");
    return m_cubRequestedFrom;
}

bool CPackageDownloadSink::FinishAttempt()
{
    if (!m_pWriter)
        return m_eFailure != k_EFailureWrite;
    const bool bClosed = m_pWriter->BClose();
    if (!bClosed && m_eFailure == k_EFailureNone)
    {
        m_eFailure = k_EFailureWrite;
        m_nWriteErrno = errno;
    }
    m_pWriter.reset();
    return bClosed && m_eFailure != k_EFailureWrite;
}

void CPackageDownloadSink::DiscardPart()
{
    m_pWriter.reset();
    BDeleteFileWithRetry(m_Ops, m_strPartPath.c_str());
    m_cubOnDisk = 0;
    ResetDigests();
}

void CPackageDownloadSink::ResetDigests()
{
    m_Digest.Reset();
    m_cubHashed = 0;
}

bool CPackageDownloadSink::BHashPartOnDisk(uint64 cubPart)
{
    if (m_cubHashed == cubPart)
        return true;
    ResetDigests();
    FILE *pFile = PLAT_fopen(m_strPartPath.c_str(), "rb");
    if (!pFile)
        return false;
    std::vector<uint8> vecBuffer(k_cubDigestRead);
    uint64 cubLeft = cubPart;
    while (cubLeft > 0)
    {
        size_t cubWanted = cubLeft < vecBuffer.size() ? (size_t)cubLeft : vecBuffer.size();
        size_t cubRead = fread(vecBuffer.data(), 1, cubWanted, pFile);
        if (cubRead == 0)
            break;
        m_Digest.Update(vecBuffer.data(), cubRead);
        cubLeft -= cubRead;
    }
    fclose(pFile);
    m_cubHashed = cubPart - cubLeft;
    if (cubLeft == 0)
        return true;
    ResetDigests();
    return false;
}

bool CPackageDownloadSink::BFinalDigests(uint8 *pubSHA1, std::string *pstrSHA256)
{
    const bool bWhole = m_cubHashed == m_cubOnDisk.load();
    m_Digest.Final(pubSHA1, pstrSHA256);
    // Final started new digests: they hold nothing of the part any more.
    m_cubHashed = k_cubNotHashed;
    return bWhole;
}

IHTTPBodySink::EBodyStart CPackageDownloadSink::Refuse(EFailure eFailure)
{
    m_eFailure = eFailure;
    return k_EBodyStartRefuse;
}

bool CPackageDownloadSink::BOpenPart(bool bAppend)
{
    m_pWriter.reset();
    m_pWriter = bAppend ? m_Ops.OpenForAppend(m_strPartPath.c_str())
                        : m_Ops.OpenForWrite(m_strPartPath.c_str(), false);
    if (m_pWriter)
        return true;
    m_eFailure = k_EFailureWrite;
    m_nWriteErrno = errno;
    return false;
}

IHTTPBodySink::EBodyStart CPackageDownloadSink::BeginBody(CHTTPClientResponse *pResponse, int64 cubLength)
{
    m_cubThisAttempt = 0;
    if (m_bAbandoned)
        return k_EBodyStartRefuse;
    const EHTTPStatusCode eStatus = pResponse->GetStatusCode();
    if (eStatus == k_EHTTPStatusCode200OK)
    {
        // The whole package from its first byte: the part starts over.
        if (cubLength >= 0 && (uint64)cubLength > m_cubPackage)
        {
            m_cubAnnounced = (uint64)cubLength;
            return Refuse(k_EFailureTooLong);
        }
        m_cubOnDisk = 0;
        ResetDigests();
        return BOpenPart(false) ? k_EBodyStartTake : k_EBodyStartRefuse;
    }
    if (eStatus == k_EHTTPStatusCode206PartialContent)
    {
        const uint64 cubRest = m_cubPackage - m_cubRequestedFrom;
        if (m_cubRequestedFrom == 0 ||
            !BContentRangeContinues(pResponse->GetResponseHeaderValue("content-range"), m_cubRequestedFrom,
                                    m_cubPackage) ||
            (cubLength >= 0 && (uint64)cubLength != cubRest))
            return Refuse(k_EFailureRangeMismatch);
        m_cubOnDisk = m_cubRequestedFrom;
        return BOpenPart(true) ? k_EBodyStartTake : k_EBodyStartRefuse;
    }
    if (eStatus == k_EHTTPStatusCode416RequestedRangeNotSatisfiable)
        m_eFailure = k_EFailureRangeMismatch;
    // Anything else (an error page, a redirect) stays with the response.
    return k_EBodyStartDecline;
}

bool CPackageDownloadSink::BReceiveBody(const void *pubData, uint32 cubData)
{
    if (!m_pWriter || m_bAbandoned)
        return false;
    if (m_cubOnDisk + cubData > m_cubPackage)
    {
        m_eFailure = k_EFailureTooLong;
        return false;
    }
    if (!m_pWriter->BWrite(pubData, cubData))
    {
        m_eFailure = k_EFailureWrite;
        m_nWriteErrno = errno;
        return false;
    }
    m_Digest.Update(pubData, cubData);
    m_cubHashed += cubData;
    m_cubOnDisk += cubData;
    m_cubThisAttempt += cubData;
    return true;
}
