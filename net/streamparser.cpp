#include "net/net.h"

#include "foundation/dbg.h"

namespace
{
uint32 ReadLittleEndian32(const uint8 *pub)
{
    return (uint32)pub[0] | ((uint32)pub[1] << 8) | ((uint32)pub[2] << 16) | ((uint32)pub[3] << 24);
}
} // namespace

bool CFerro3StreamParser::BIsValidMsgType(const uint8 *pubData, int32 cubRecv, int32 *pcubMsgSize,
                                          const uint8 **ppubPayload)
{
    *pcubMsgSize = 0;
    *ppubPayload = nullptr;
    if (cubRecv < k_cubMsgHeader)
        return true; // wait for the whole header

    int32 cubMsgSize = (int32)ReadLittleEndian32(pubData);
    uint32 unMagic = ReadLittleEndian32(pubData + 4);
    if (unMagic == k_unMsgHeaderMagic)
    {
        // A negative length is as impossible as a huge one.
        if (cubMsgSize > k_cubMaxMsgRecv || cubMsgSize < 0)
        {
            // clang-format off
            DMsg("net", 1,
                 "IStreamParser::BIsValidMsgType() too-large cbMessageSize in message header (%d bytes, %d bytes recv'd so far) discarding packet and closing connection\n",
                 cubMsgSize, cubRecv);
            // clang-format on
            return false;
        }
        *pcubMsgSize = cubMsgSize;
        *ppubPayload = pubData + k_cubMsgHeader;
        return true;
    }
    if (unMagic == k_unMsgHeaderMagicObsolete)
    {
        // clang-format off
        DMsg("net", 1,
             "IStreamParser::BIsValidMsgType() old packet header from out-of-date Ferro build, discarding packet and closing connection\n");
        // clang-format on
        return false;
    }
    // clang-format off
    DMsg("net", 1,
         "IStreamParser::BIsValidMsgType() invalid packet header (1st 8 bytes: 0x%02X%02X%02X%02X%02X%02X%02X%02X, %d bytes recv'd so far) discarding packet and closing connection\n",
         pubData[0], pubData[1], pubData[2], pubData[3], pubData[4], pubData[5], pubData[6], pubData[7],
         cubRecv);
    // clang-format on
    CNet::CountInvalidHeader();
    return false;
}

bool CFerro3StreamParser::BIsMsgComplete(const uint8 *pubPayload, int32 cubAvailable, int32 cubMsgSize,
                                         const uint8 **ppubEnd)
{
    *ppubEnd = nullptr;
    // An empty message is complete at its header; waiting for payload bytes that never come
    // would stall the stream.
    if (!pubPayload || cubMsgSize < 0)
        return false;
    *ppubEnd = pubPayload + cubMsgSize;
    return cubAvailable >= cubMsgSize;
}
