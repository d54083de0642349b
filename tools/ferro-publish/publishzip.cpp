#include "publishzip.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include <zip.h>

namespace
{
// "Version made by": Unix (3) and zip 2.0, so that unzip tools apply the mode below.
const unsigned long k_unVersionMadeByUnix = (3u << 8) | 20u;
const unsigned long k_unUnixRegularFile = 0100000;
const unsigned long k_unModeExecutable = 0755;
const unsigned long k_unModePlain = 0644;
// Items of 4 GiB or more need the zip64 extension.
const unsigned long long k_cubZip64Threshold = 0xFFFFFFFFull;
// The compression every item is written with; PublishZipItemBound asks zlib about the same.
const int k_nCompressionLevel = Z_BEST_COMPRESSION;
// An item's records besides its name (twice) and data: the local header (30 bytes) with a
// zip64 extra field (20), the central directory entry (46) with a zip64 extra field (up to
// 32), and room for a data descriptor (16).
const uint64 k_cubItemRecords = 160;
// zlib's bound takes an unsigned long, 32 bits on Windows: larger files are bounded by the
// sum of the bounds of their pieces, which is never below the bound of the whole.
const uint64 k_cubBoundPiece = 1ull << 30;

bool BAddItem(zipFile hZip, const PublishZipItem_t &item, std::string *pstrError)
{
    FILE *pSource = fopen(item.m_strSourcePath.c_str(), "rb");
    if (!pSource)
    {
        *pstrError = "cannot read " + item.m_strSourcePath;
        return false;
    }
    std::error_code ec;
    unsigned long long cubFile = (unsigned long long)std::filesystem::file_size(item.m_strSourcePath, ec);

    zip_fileinfo info = {};
    info.tmz_date.tm_mday = 1;
    info.tmz_date.tm_mon = 0;
    info.tmz_date.tm_year = 1980;
    info.external_fa = (k_unUnixRegularFile | (item.m_bExecutable ? k_unModeExecutable : k_unModePlain))
                       << 16;
    int nResult = zipOpenNewFileInZip4_64(hZip, item.m_strName.c_str(), &info, nullptr, 0, nullptr, 0,
                                          nullptr, Z_DEFLATED, k_nCompressionLevel, 0, -MAX_WBITS,
                                          DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                          k_unVersionMadeByUnix, 0, cubFile >= k_cubZip64Threshold ? 1 : 0);
    bool bOk = nResult == ZIP_OK;
    std::vector<char> vecChunk(1 << 16);
    while (bOk)
    {
        size_t cubRead = fread(vecChunk.data(), 1, vecChunk.size(), pSource);
        if (cubRead == 0)
        {
            bOk = !ferror(pSource);
            break;
        }
        bOk = zipWriteInFileInZip(hZip, vecChunk.data(), (unsigned)cubRead) == ZIP_OK;
    }
    fclose(pSource);
    if (nResult == ZIP_OK && zipCloseFileInZip(hZip) != ZIP_OK)
        bOk = false;
    if (!bOk)
        *pstrError = "cannot add " + item.m_strSourcePath + " to the archive";
    return bOk;
}
} // namespace

uint64 PublishZipItemBound(const PublishZipItem_t &item)
{
    z_stream stream = {};
    if (deflateInit2(&stream, k_nCompressionLevel, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return UINT64_MAX;
    uint64 cubBound = 0;
    uint64 cubLeft = item.m_cubSize;
    do
    {
        uint64 cubPiece = cubLeft < k_cubBoundPiece ? cubLeft : k_cubBoundPiece;
        cubBound += deflateBound(&stream, (uLong)cubPiece);
        cubLeft -= cubPiece;
    } while (cubLeft > 0);
    deflateEnd(&stream);
    return cubBound + k_cubItemRecords + 2 * (uint64)item.m_strName.size();
}

bool BWriteDeterministicZip(const std::string &strZipPath, const std::vector<PublishZipItem_t> &vecItems,
                            std::string *pstrError)
{
    zipFile hZip = zipOpen64(strZipPath.c_str(), APPEND_STATUS_CREATE);
    if (!hZip)
    {
        *pstrError = "cannot create " + strZipPath;
        return false;
    }
    bool bOk = true;
    for (const PublishZipItem_t &item : vecItems)
    {
        if (!BAddItem(hZip, item, pstrError))
        {
            bOk = false;
            break;
        }
    }
    if (zipClose(hZip, nullptr) != ZIP_OK && bOk)
    {
        *pstrError = "cannot finish " + strZipPath;
        bOk = false;
    }
    if (!bOk)
    {
        std::error_code ec;
        std::filesystem::remove(strZipPath, ec);
    }
    return bOk;
}
