// ferro-publish: the publisher's tool for the content service.
//
//   ferro-publish keygen --out DIR
//   ferro-publish build --key FILE --version N --input STAGING --output CONTENT
//                       [--beta NAME] [--platform TAG]
//   ferro-publish sign --key FILE IN OUT
//   ferro-publish verify (--pubkey HEX | --pubkey-file FILE) MANIFEST
//
// Exit codes: 0 success ("valid" for verify), 1 failure ("invalid" for verify), 2 bad
// arguments.
#include "publishbuild.h"
#include "publishfile.h"
#include "publishkeys.h"
#include "publishmanifest.h"

#include "common/kvsignature.h"
#include "foundation/keyvalues.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace
{
const int k_nExitOk = 0;
const int k_nExitFailed = 1;
const int k_nExitUsage = 2;

// The key size the launcher's signature check is made for.
const unsigned int k_cKeyBits = 1024;

const char k_szUsage[] =
    "usage: ferro-publish keygen --out DIR\n"
    "           a new RSA-1024 key pair: DIR/manifest_private.der (PKCS #8 DER, keep it secret)\n"
    "           and DIR/manifest_public.hex (the launcher's FERRO_MANIFEST_PUBLIC_KEY)\n"
    "       ferro-publish build --key FILE --version N --input STAGING --output CONTENT\n"
    "                           [--beta NAME] [--platform TAG]\n"
    "           one zip package per top-level directory of STAGING (\"root\" for its files) as\n"
    "           CONTENT/client/<name>.zip.<sha1>, and the signed manifest\n"
    "           CONTENT/client/arvo_launcher_[<NAME>_]<TAG> (TAG defaults to \"" FERRO_PLATFORM_TAG "\")\n"
    "       ferro-publish sign --key FILE IN OUT\n"
    "           signs the first key of the KeyValues file IN into its \"kvsignatures\" block\n"
    "       ferro-publish verify (--pubkey HEX | --pubkey-file FILE) MANIFEST\n"
    "           prints \"valid\" (exit 0) or \"invalid\" (exit 1)\n"
    "Private keys: PKCS #8 or PKCS #1, DER or PEM. Exit 2 for bad arguments.\n";

int Usage(const char *pchProblem)
{
    if (pchProblem)
        fprintf(stderr, "ferro-publish: %s\n", pchProblem);
    fputs(k_szUsage, stderr);
    return k_nExitUsage;
}

int Fail(const std::string &strError)
{
    fprintf(stderr, "ferro-publish: %s\n", strError.c_str());
    return k_nExitFailed;
}

// "--name value" pairs (only the names allowed) and the other arguments in order.
struct Arguments_t
{
    std::map<std::string, std::string> m_mapOptions;
    std::vector<std::string> m_vecPositional;
};

bool BParseArguments(int argc, char **argv, const std::vector<std::string> &vecAllowed, Arguments_t *pArgs,
                     std::string *pstrProblem)
{
    for (int i = 2; i < argc; ++i)
    {
        std::string strArg = argv[i];
        if (strArg.size() < 2 || strArg.compare(0, 2, "--") != 0)
        {
            pArgs->m_vecPositional.push_back(strArg);
            continue;
        }
        bool bAllowed = false;
        for (const std::string &strName : vecAllowed)
            bAllowed = bAllowed || strName == strArg;
        if (!bAllowed)
        {
            *pstrProblem = "unknown option " + strArg;
            return false;
        }
        if (i + 1 >= argc)
        {
            *pstrProblem = strArg + " needs a value";
            return false;
        }
        if (pArgs->m_mapOptions.count(strArg))
        {
            *pstrProblem = strArg + " given twice";
            return false;
        }
        pArgs->m_mapOptions[strArg] = argv[++i];
    }
    return true;
}

// Decimal digits only, within 64 bits.
bool BParseVersion(const std::string &strText, uint64 *pulVersion)
{
    if (strText.empty() || strText.size() > 20)
        return false;
    uint64 ulValue = 0;
    for (char ch : strText)
    {
        if (ch < '0' || ch > '9')
            return false;
        uint64 ulDigit = (uint64)(ch - '0');
        if (ulValue > (UINT64_MAX - ulDigit) / 10)
            return false;
        ulValue = ulValue * 10 + ulDigit;
    }
    *pulVersion = ulValue;
    return true;
}

int KeyGen(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv, {"--out"}, &args, &strProblem))
        return Usage(strProblem.c_str());
    if (!args.m_vecPositional.empty() || !args.m_mapOptions.count("--out"))
        return Usage("keygen takes --out DIR");

    std::filesystem::path pathDir(args.m_mapOptions["--out"]);
    std::error_code ec;
    std::filesystem::create_directories(pathDir, ec);
    std::string strPrivate = (pathDir / "manifest_private.der").string();
    std::string strPublic = (pathDir / "manifest_public.hex").string();
    if (std::filesystem::exists(strPublic, ec))
        return Fail(strPublic + " exists already; not replacing a key");

    CPublishKey key;
    std::string strError;
    if (!key.BGenerate(k_cKeyBits, &strError) || !key.BSavePrivateDER(strPrivate.c_str(), &strError) ||
        !BWriteFileAtomically(strPublic, key.PublicKeyHex() + "\n", &strError))
        return Fail(strError);
    printf("private key %s\npublic key %s\n", strPrivate.c_str(), strPublic.c_str());
    return k_nExitOk;
}

int Build(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv, {"--key", "--version", "--input", "--output", "--beta", "--platform"},
                         &args, &strProblem))
        return Usage(strProblem.c_str());
    for (const char *pchRequired : {"--key", "--version", "--input", "--output"})
    {
        if (!args.m_mapOptions.count(pchRequired))
            return Usage((std::string("build needs ") + pchRequired).c_str());
    }
    if (!args.m_vecPositional.empty())
        return Usage(("unexpected argument " + args.m_vecPositional[0]).c_str());

    PublishBuildOptions_t options;
    if (!BParseVersion(args.m_mapOptions["--version"], &options.m_ulVersion))
        return Usage("--version takes a decimal number of at most 64 bits");
    options.m_strInputDir = args.m_mapOptions["--input"];
    options.m_strOutputDir = args.m_mapOptions["--output"];
    options.m_strBeta = args.m_mapOptions.count("--beta") ? args.m_mapOptions["--beta"] : "";
    options.m_strPlatform =
        args.m_mapOptions.count("--platform") ? args.m_mapOptions["--platform"] : FERRO_PLATFORM_TAG;
    // The launcher drops every other character from a beta name, so it would never ask
    // for a manifest named with one.
    if (args.m_mapOptions.count("--beta") && !BIsPublishNameToken(options.m_strBeta))
        return Usage("--beta takes ASCII letters, digits and '_' only");
    if (!BIsPublishNameToken(options.m_strPlatform))
        return Usage("--platform takes ASCII letters, digits and '_' only");

    CPublishKey key;
    std::string strError;
    if (!key.BLoad(args.m_mapOptions["--key"].c_str(), &strError) || !BPublishBuild(options, key, &strError))
        return Fail(strError);
    return k_nExitOk;
}

int Sign(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv, {"--key"}, &args, &strProblem))
        return Usage(strProblem.c_str());
    if (!args.m_mapOptions.count("--key") || args.m_vecPositional.size() != 2)
        return Usage("sign takes --key FILE IN OUT");
    const std::string &strIn = args.m_vecPositional[0];
    const std::string &strOut = args.m_vecPositional[1];

    CPublishKey key;
    std::string strError, strText, strSigned;
    if (!key.BLoad(args.m_mapOptions["--key"].c_str(), &strError))
        return Fail(strError);
    if (!BReadWholeFile(strIn, &strText))
        return Fail("cannot read " + strIn);
    if (!BSignManifestText(strText, strIn.c_str(), key, &strSigned, &strError) ||
        !BWriteFileAtomically(strOut, strSigned, &strError))
        return Fail(strError);
    return k_nExitOk;
}

int Verify(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv, {"--pubkey", "--pubkey-file"}, &args, &strProblem))
        return Usage(strProblem.c_str());
    bool bHex = args.m_mapOptions.count("--pubkey") != 0,
         bFile = args.m_mapOptions.count("--pubkey-file") != 0;
    if (bHex == bFile || args.m_vecPositional.size() != 1)
        return Usage("verify takes --pubkey HEX or --pubkey-file FILE, and MANIFEST");

    std::string strKey;
    if (bHex)
        strKey = args.m_mapOptions["--pubkey"];
    else if (!BReadWholeFile(args.m_mapOptions["--pubkey-file"], &strKey))
        return Usage(("cannot read " + args.m_mapOptions["--pubkey-file"]).c_str());
    while (!strKey.empty() && (strKey.back() == '\n' || strKey.back() == '\r' || strKey.back() == ' '))
        strKey.pop_back();

    const std::string &strManifest = args.m_vecPositional[0];
    std::string strText, strError;
    if (!BReadWholeFile(strManifest, &strText))
        return Usage(("cannot read " + strManifest).c_str());
    KeyValues *pManifest = LoadManifestText(strText, strManifest.c_str(), &strError);
    CKeyValuesAutoDelete manifestDelete(pManifest);
    if (!pManifest)
        fprintf(stderr, "ferro-publish: %s\n", strError.c_str());
    bool bValid = pManifest && BVerifyKeyValuesSignature(pManifest, strKey.c_str());
    puts(bValid ? "valid" : "invalid");
    return bValid ? k_nExitOk : k_nExitFailed;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage(nullptr);
    std::string strCommand = argv[1];
    if (strCommand == "--help" || strCommand == "-h" || strCommand == "help")
    {
        fputs(k_szUsage, stdout);
        return k_nExitOk;
    }
    if (strCommand == "keygen")
        return KeyGen(argc, argv);
    if (strCommand == "build")
        return Build(argc, argv);
    if (strCommand == "sign")
        return Sign(argc, argv);
    if (strCommand == "verify")
        return Verify(argc, argv);
    return Usage(("unknown command " + strCommand).c_str());
}
