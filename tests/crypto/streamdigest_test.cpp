#include "crypto/streamdigest.h"
#include "foundation/strtools.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
std::string Hex(const uint8 *pub, size_t cub)
{
    std::string str(2 * cub + 1, '\0');
    Q_binarytohex(pub, (int)cub, &str[0], (int)str.size());
    str.pop_back();
    return str;
}

// The digests of the bytes taken in one piece on this thread.
void DirectDigests(const std::vector<uint8> &vec, std::string *pstrSHA1, std::string *pstrSHA256)
{
    CSHA1 sha1;
    CSHA256 sha256;
    sha1.Update(vec.data(), (uint32)vec.size());
    sha256.Update(vec.data(), vec.size());
    uint8 rgub[k_cubSHA1Hash];
    sha1.Final(rgub);
    *pstrSHA1 = Hex(rgub, sizeof(rgub));
    *pstrSHA256 = sha256.FinalHex();
}

std::vector<uint8> Pattern(size_t cub)
{
    std::vector<uint8> vec(cub);
    uint32 unState = 12345;
    for (uint8 &ub : vec)
        ub = (uint8)((unState = unState * 1103515245 + 12345) >> 16);
    return vec;
}
} // namespace

// Pieces of every size, from one byte to more than the queue holds, give the digests of the
// whole; the stream then starts over, and a Reset drops what it was given.
TEST(StreamDigest, PiecesOfAnySizeGiveTheDigestsOfTheWhole)
{
    const std::vector<uint8> vec = Pattern(3 * CStreamDigest::k_cubMaxQueued + 4321);
    std::string strSHA1, strSHA256;
    DirectDigests(vec, &strSHA1, &strSHA256);

    CStreamDigest digest;
    size_t iOffset = 0, cubPiece = 1;
    while (iOffset < vec.size())
    {
        size_t cub = std::min(cubPiece, vec.size() - iOffset);
        digest.Update(vec.data() + iOffset, cub);
        iOffset += cub;
        cubPiece = cubPiece * 7 + 3; // 1, 10, 73, ... past the queue's bound
    }
    uint8 rgubSHA1[k_cubSHA1Hash];
    std::string strStreamSHA256;
    digest.Final(rgubSHA1, &strStreamSHA256);
    EXPECT_EQ(strSHA1, Hex(rgubSHA1, sizeof(rgubSHA1)));
    EXPECT_EQ(strSHA256, strStreamSHA256);

    // Nothing given since: the digests of no bytes.
    digest.Final(rgubSHA1, &strStreamSHA256);
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(rgubSHA1, sizeof(rgubSHA1)));
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", strStreamSHA256);

    digest.Update(vec.data(), vec.size() / 2);
    digest.Reset();
    digest.Update("abc", 3);
    digest.Final(rgubSHA1, &strStreamSHA256);
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Hex(rgubSHA1, sizeof(rgubSHA1)));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", strStreamSHA256);
}

// A stream handed between threads (a download's bytes arrive on one, its digests are read
// on another) and one dropped while its thread still hashes.
TEST(StreamDigest, HandedBetweenThreadsAndDroppedWhileHashing)
{
    const std::vector<uint8> vec = Pattern(2 * CStreamDigest::k_cubMaxQueued);
    std::string strSHA1, strSHA256;
    DirectDigests(vec, &strSHA1, &strSHA256);
    CStreamDigest digest;
    for (int iRound = 0; iRound < 3; ++iRound)
    {
        std::thread feeder(
            [&]
            {
                for (size_t i = 0; i < vec.size(); i += 256 * 1024)
                    digest.Update(vec.data() + i, std::min<size_t>(256 * 1024, vec.size() - i));
            });
        feeder.join();
        uint8 rgubSHA1[k_cubSHA1Hash];
        std::string strStreamSHA256;
        digest.Final(rgubSHA1, &strStreamSHA256);
        EXPECT_EQ(strSHA1, Hex(rgubSHA1, sizeof(rgubSHA1)));
        EXPECT_EQ(strSHA256, strStreamSHA256);
    }
    CStreamDigest *pDropped = new CStreamDigest;
    pDropped->Update(vec.data(), vec.size());
    delete pDropped;
}
