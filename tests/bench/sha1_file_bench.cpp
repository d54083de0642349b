// Hashes one file with CSHA1, the way the updater hashes a downloaded package, and prints
// "<digest>  <seconds>" (the hashing and reading time only). Driven by sha1_bench.sh, which
// compares it with sha1sum on the same file.
#include "crypto/sha1.h"

#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    FILE *pFile = fopen(argv[1], "rb");
    if (!pFile)
    {
        perror(argv[1]);
        return 1;
    }

    auto tStart = std::chrono::steady_clock::now();
    std::vector<uint8> vecBuffer(1 << 20);
    CSHA1 sha1;
    size_t cubRead;
    while ((cubRead = fread(vecBuffer.data(), 1, vecBuffer.size(), pFile)) > 0)
        sha1.Update(vecBuffer.data(), (uint32)cubRead);
    bool bReadError = ferror(pFile) != 0;
    fclose(pFile);
    uint8 rgubDigest[k_cubSHA1Hash];
    sha1.Final(rgubDigest);
    double flSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    if (bReadError)
    {
        fprintf(stderr, "%s: read error\n", argv[1]);
        return 1;
    }

    for (uint8 ub : rgubDigest)
        printf("%02x", ub);
    printf("  %.3f\n", flSeconds);
    return 0;
}
