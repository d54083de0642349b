// Decoding of gzip-encoded HTTP bodies: the container (RFC 1952) is checked here, the
// deflate data (RFC 1951) is inflated raw by zlib, and the result must match the size and
// CRC-32 the trailer announces.
#include "http/http.h"

#include <zlib.h>

#include <cstring>

namespace
{
const uint8 k_ubGzipFlagHeaderCRC = 0x02;
const uint8 k_ubGzipFlagExtra = 0x04;
const uint8 k_ubGzipFlagName = 0x08;
const uint8 k_ubGzipFlagComment = 0x10;
const uint8 k_ubGzipFlagsReserved = 0xE0;
const uint32 k_cubGzipHeader = 10;
const uint32 k_cubGzipTrailer = 8;

uint32 ReadLittleEndian32(const uint8 *pub)
{
    return (uint32)pub[0] | ((uint32)pub[1] << 8) | ((uint32)pub[2] << 16) | ((uint32)pub[3] << 24);
}

// Moves past a NUL-terminated field; false when it runs into the trailer.
bool BSkipZeroTerminated(const uint8 *pubData, uint32 cubBeforeTrailer, uint32 *piPos)
{
    const void *pvNul = memchr(pubData + *piPos, 0, cubBeforeTrailer - *piPos);
    if (!pvNul)
        return false;
    *piPos = (uint32)((const uint8 *)pvNul - pubData) + 1;
    return true;
}
} // namespace

bool BDecodeGzipMember(const uint8 *pubData, uint32 cubData, uint32 cubMaxOutput, CUtlBuffer &bufOut)
{
    bufOut.Clear();
    if (!pubData || cubData < k_cubGzipHeader + 1 || pubData[0] != 0x1F || pubData[1] != 0x8B ||
        pubData[2] != 8)
        return false;
    const uint8 ubFlags = pubData[3];
    if (ubFlags & k_ubGzipFlagsReserved)
        return false;

    // The header's optional fields may not reach into the trailer.
    if (cubData <= k_cubGzipTrailer + k_cubGzipHeader)
        return false;
    const uint32 cubBeforeTrailer = cubData - k_cubGzipTrailer;
    uint32 iPos = k_cubGzipHeader;
    if (ubFlags & k_ubGzipFlagExtra)
    {
        if (iPos + 2 > cubBeforeTrailer)
            return false;
        uint32 cubExtra = (uint32)pubData[iPos] | ((uint32)pubData[iPos + 1] << 8);
        iPos += 2;
        if (cubExtra > cubBeforeTrailer - iPos)
            return false;
        iPos += cubExtra;
    }
    if ((ubFlags & k_ubGzipFlagName) && !BSkipZeroTerminated(pubData, cubBeforeTrailer, &iPos))
        return false;
    if ((ubFlags & k_ubGzipFlagComment) && !BSkipZeroTerminated(pubData, cubBeforeTrailer, &iPos))
        return false;
    if (ubFlags & k_ubGzipFlagHeaderCRC)
        iPos += 2;
    if (iPos >= cubBeforeTrailer || cubData - iPos <= 7)
        return false;

    const uint32 unCRCExpected = ReadLittleEndian32(pubData + cubData - 8);
    const uint32 cubExpected = ReadLittleEndian32(pubData + cubData - 4);
    if (cubExpected > cubMaxOutput || cubExpected > 0x7FFFFFFEu)
        return false;
    if (cubExpected && !bufOut.EnsureCapacity((int)cubExpected))
        return false;

    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    uint8 ubOverflow;
    uint8 *pubOut = (uint8 *)bufOut.Base();
    stream.next_in = const_cast<Bytef *>(pubData + iPos);
    stream.avail_in = cubBeforeTrailer - iPos;
    // Inflate straight into the body; one spare byte beyond the announced size tells a
    // stream that decodes to more than announced.
    stream.next_out = cubExpected ? pubOut : &ubOverflow;
    stream.avail_out = cubExpected ? cubExpected : 1;
    int nResult = inflate(&stream, Z_FINISH);
    uint32 cubProduced = cubExpected ? cubExpected - stream.avail_out : 1 - stream.avail_out;
    if (nResult != Z_STREAM_END && cubExpected && stream.avail_out == 0)
    {
        // Full: does the stream hold more than announced?
        stream.next_out = &ubOverflow;
        stream.avail_out = 1;
        nResult = inflate(&stream, Z_FINISH);
        if (stream.avail_out == 0)
            cubProduced = cubExpected + 1;
    }
    inflateEnd(&stream);
    if (nResult != Z_STREAM_END || cubProduced != cubExpected)
        return false;
    uint32 unCRC = (uint32)crc32(crc32(0L, Z_NULL, 0), cubExpected ? pubOut : Z_NULL, cubExpected);
    if (unCRC != unCRCExpected)
        return false;
    bufOut.SeekPut(CUtlBuffer::SEEK_HEAD, (int)cubExpected);
    return true;
}
