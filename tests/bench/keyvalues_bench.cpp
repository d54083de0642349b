// KeyValues text: loading and writing a manifest-shaped document of about 1 MB, in MB/s.
//
// The document has thousands of package sections, each with "file" = <name>.zip.<sha1 in
// hex> and "size" = a number, as the content service's manifests do. A plain scan of the
// same bytes (counting quotes) is measured in the same run as the peer: the ratio tells how
// far the reader is from touching each byte once.
#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
std::string BuildManifest(int cPackages)
{
    std::string str = "\"manifest\"\n{\n\t\"version\"\t\t\"1712345678\"\n";
    char rgchHex[41];
    unsigned unSeed = 12345;
    for (int i = 0; i < cPackages; ++i)
    {
        for (int j = 0; j < 40; ++j)
        {
            unSeed = unSeed * 1103515245u + 12345u;
            rgchHex[j] = "0123456789abcdef"[(unSeed >> 16) & 15];
        }
        rgchHex[40] = 0;
        char rgchPackage[256];
        snprintf(rgchPackage, sizeof(rgchPackage),
                 "\t\"package_%05d_linux\"\n\t{\n\t\t\"file\"\t\t\"package_%05d_linux.zip.%"
                 "s\"\n\t\t\"size\"\t\t\"%u\"\n\t}\n",
                 i, i, rgchHex, 1000u + (unSeed % 90000000u));
        str += rgchPackage;
    }
    str += "}\n";
    return str;
}

const std::string &Manifest()
{
    // About 1 MB.
    static const std::string s_str = BuildManifest(7600);
    return s_str;
}

void BM_KeyValuesLoad(benchmark::State &state)
{
    const std::string &strText = Manifest();
    for (auto _ : state)
    {
        CUtlBuffer buf(strText.data(), (int)strText.size(), CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
        KeyValues *pKV = new KeyValues("manifest");
        bool bOk = pKV->LoadFromBuffer("manifest", buf);
        benchmark::DoNotOptimize(bOk);
        pKV->DeleteThis();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)strText.size());
}
BENCHMARK(BM_KeyValuesLoad)->Unit(benchmark::kMillisecond);

void BM_KeyValuesWrite(benchmark::State &state)
{
    const std::string &strText = Manifest();
    KeyValues *pKV = new KeyValues("manifest");
    CUtlBuffer bufIn(strText.data(), (int)strText.size(), CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    pKV->LoadFromBuffer("manifest", bufIn);
    int64_t cubWritten = 0;
    for (auto _ : state)
    {
        CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
        pKV->WriteAsText(buf, true);
        cubWritten += buf.TellMaxPut();
        benchmark::DoNotOptimize(buf.Base());
    }
    state.SetBytesProcessed(cubWritten);
    pKV->DeleteThis();
}
BENCHMARK(BM_KeyValuesWrite)->Unit(benchmark::kMillisecond);

// The peer: one pass over the same bytes.
void BM_ScanBytesPeer(benchmark::State &state)
{
    const std::string &strText = Manifest();
    for (auto _ : state)
    {
        size_t cQuotes = 0;
        const char *pch = strText.data();
        while ((pch = (const char *)memchr(pch, '"', strText.data() + strText.size() - pch)) != nullptr)
        {
            ++cQuotes;
            ++pch;
        }
        benchmark::DoNotOptimize(cQuotes);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)strText.size());
}
BENCHMARK(BM_ScanBytesPeer)->Unit(benchmark::kMillisecond);

// Linearity: twice the packages should take about twice the time.
void BM_KeyValuesLoadScaling(benchmark::State &state)
{
    const std::string strText = BuildManifest((int)state.range(0));
    for (auto _ : state)
    {
        CUtlBuffer buf(strText.data(), (int)strText.size(), CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
        KeyValues *pKV = new KeyValues("manifest");
        pKV->LoadFromBuffer("manifest", buf);
        pKV->DeleteThis();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)strText.size());
}
BENCHMARK(BM_KeyValuesLoadScaling)->Arg(2000)->Arg(8000)->Arg(32000)->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
