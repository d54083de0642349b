// ferro-publish: the publisher's tool for the content service.
//
//   ferro-publish keygen --out DIR
//   ferro-publish build --key FILE [--ed25519-key FILE] --version N --input STAGING
//                       --output CONTENT [--beta NAME] [--platform TAG]
//                       [--max-package-size BYTES] [--expires DAYS] [--timestamp SECONDS]
//   ferro-publish sign --key FILE [--ed25519-key FILE] IN OUT
//   ferro-publish verify (--pubkey HEX | --pubkey-file FILE)
//                        [--ed25519-pubkey HEX | --ed25519-pubkey-file FILE] MANIFEST
//   ferro-publish diff [--beta NAME] [--platform TAG] OLD NEW
//
// Exit codes: 0 success ("valid" for verify), 1 failure ("invalid" for verify), 2 bad
// arguments.
#include "publishbuild.h"
#include "publishchecks.h"
#include "publishdiff.h"
#include "publishfile.h"
#include "publishkeys.h"
#include "publishmanifest.h"
#include "publishpacking.h"

#include "crypto/manifestverify.h"
#include "foundation/keyvalues.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
// The longest lifetime --expires gives a manifest (a hundred years), and the latest
// --timestamp (2^53 seconds): their sum stays far below what a launcher reads.
const uint64 k_cMaxDaysToExpiry = 36500;
const uint64 k_ulMaxTimestamp = 1ull << 53;

const char k_szUsage[] =
    "usage: ferro-publish keygen --out DIR\n"
    "           a new RSA-1024 key pair: DIR/manifest_private.der (PKCS #8 DER, keep it secret)\n"
    "           and DIR/manifest_public.hex (the launcher's FERRO_MANIFEST_PUBLIC_KEY), and a new\n"
    "           Ed25519 key pair: DIR/manifest_ed25519_private.der (PKCS #8 DER, keep it secret)\n"
    "           and DIR/manifest_ed25519_public.hex (FERRO_MANIFEST_PUBLIC_KEY_ED25519)\n"
    "       ferro-publish build --key FILE [--ed25519-key FILE] --version N --input STAGING\n"
    "                           --output CONTENT [--beta NAME] [--platform TAG]\n"
    "                           [--max-package-size BYTES] [--expires DAYS] [--timestamp SECONDS]\n"
    "           one zip package per top-level directory of STAGING (\"root\" for its files) as\n"
    "           CONTENT/client/<name>.zip.<sha1>, and the signed manifest\n"
    "           CONTENT/client/arvo_launcher_[<NAME>_]<TAG> (TAG defaults to \"" FERRO_PLATFORM_TAG "\");\n"
    "           a directory larger than BYTES (default 67108864, 64 MiB) becomes packages\n"
    "           <name>-<bits> chosen by the digest of each file's path, a file larger than that\n"
    "           a package of its own; the manifest carries the time (SECONDS since 1970, default\n"
    "           now), the platform and beta, each archive's SHA-256 and, with --expires, the\n"
    "           time DAYS later after which launchers refuse it\n"
    "       ferro-publish sign --key FILE [--ed25519-key FILE] IN OUT\n"
    "           signs the first key of the KeyValues file IN into its \"kvsignatures\" block\n"
    "       ferro-publish verify (--pubkey HEX | --pubkey-file FILE)\n"
    "                            [--ed25519-pubkey HEX | --ed25519-pubkey-file FILE] MANIFEST\n"
    "           checks MANIFEST as the launcher does (signatures, shape, limits; with an Ed25519\n"
    "           key its signature is required); prints which checks it carries (signatures,\n"
    "           SHA-256, timestamp, expires, platform, beta) and \"valid\" (exit 0), or \"invalid\"\n"
    "           and why (exit 1)\n"
    "       ferro-publish diff [--beta NAME] [--platform TAG] OLD NEW\n"
    "           the packages a player with build OLD downloads for build NEW, and the bytes; OLD\n"
    "           and NEW are manifest files or content folders (their manifest of NAME and TAG)\n"
    "--ed25519-key adds an Ed25519 signature (\"ed25519\" in \"kvsignatures\"), which launchers\n"
    "built with FERRO_REQUIRE_ED25519=ON need. Private keys: PKCS #8 (RSA also PKCS #1), DER or\n"
    "PEM. Exit 2 for bad arguments.\n";

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
bool BParseDecimal(const std::string &strText, uint64 *pulVersion)
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

// The Ed25519 key of --ed25519-key, when given; false (with the reason) when it is given and
// does not load.
bool BLoadOptionalEd25519Key(Arguments_t &args, CPublishEd25519Key *pKey, bool *pbLoaded,
                             std::string *pstrError)
{
    *pbLoaded = false;
    if (!args.m_mapOptions.count("--ed25519-key"))
        return true;
    if (!pKey->BLoad(args.m_mapOptions["--ed25519-key"].c_str(), pstrError))
        return false;
    *pbLoaded = true;
    return true;
}

// A key given as hex text or in a file (white space around it dropped); "" when neither.
bool BReadKeyOption(Arguments_t &args, const char *pchHexOption, const char *pchFileOption,
                    std::string *pstrKey, std::string *pstrProblem)
{
    pstrKey->clear();
    if (args.m_mapOptions.count(pchHexOption))
        *pstrKey = args.m_mapOptions[pchHexOption];
    else if (args.m_mapOptions.count(pchFileOption) &&
             !BReadWholeFile(args.m_mapOptions[pchFileOption], pstrKey))
    {
        *pstrProblem = "cannot read " + args.m_mapOptions[pchFileOption];
        return false;
    }
    while (!pstrKey->empty() &&
           (pstrKey->back() == '\n' || pstrKey->back() == '\r' || pstrKey->back() == ' '))
        pstrKey->pop_back();
    return true;
}

// An optional number option within [ulMin, ulMax]; false, with the problem, when it is not.
bool BParseBoundedOption(Arguments_t &args, const char *pchOption, uint64 ulMin, uint64 ulMax,
                         const char *pchWhat, uint64 *pulValue, std::string *pstrProblem)
{
    if (!args.m_mapOptions.count(pchOption))
        return true;
    if (BParseDecimal(args.m_mapOptions[pchOption], pulValue) && *pulValue >= ulMin && *pulValue <= ulMax)
        return true;
    *pstrProblem = std::string(pchOption) + " takes " + pchWhat + " from " + std::to_string(ulMin) + " to " +
                   std::to_string(ulMax);
    return false;
}

// --max-package-size, --expires and --timestamp (now when not given).
bool BParseBuildNumbers(Arguments_t &args, PublishBuildOptions_t *pOptions, std::string *pstrProblem)
{
    pOptions->m_ulTimestamp = (uint64)time(nullptr);
    return BParseBoundedOption(args, "--max-package-size", k_cubMinMaxPackageSize,
                               k_cubMaxManifestPackageSize, "a number of bytes", &pOptions->m_cubMaxPackage,
                               pstrProblem) &&
           BParseBoundedOption(args, "--expires", 1, k_cMaxDaysToExpiry, "a number of days",
                               &pOptions->m_cDaysToExpiry, pstrProblem) &&
           BParseBoundedOption(args, "--timestamp", 0, k_ulMaxTimestamp, "seconds since 1970",
                               &pOptions->m_ulTimestamp, pstrProblem);
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
    std::string strEdPrivate = (pathDir / "manifest_ed25519_private.der").string();
    std::string strEdPublic = (pathDir / "manifest_ed25519_public.hex").string();
    for (const std::string &strPath : {strPrivate, strPublic, strEdPrivate, strEdPublic})
    {
        if (std::filesystem::exists(strPath, ec))
            return Fail(strPath + " exists already; not replacing a key");
    }

    CPublishKey key;
    CPublishEd25519Key keyEd25519;
    std::string strError;
    if (!key.BGenerate(k_cKeyBits, &strError) || !keyEd25519.BGenerate(&strError) ||
        !key.BSavePrivateDER(strPrivate.c_str(), &strError) ||
        !BWriteFileAtomically(strPublic, key.PublicKeyHex() + "\n", &strError) ||
        !keyEd25519.BSavePrivateDER(strEdPrivate.c_str(), &strError) ||
        !BWriteFileAtomically(strEdPublic, keyEd25519.PublicKeyHex() + "\n", &strError))
        return Fail(strError);
    printf("private key %s\npublic key %s\n", strPrivate.c_str(), strPublic.c_str());
    printf("Ed25519 private key %s\nEd25519 public key %s\n", strEdPrivate.c_str(), strEdPublic.c_str());
    return k_nExitOk;
}

int Build(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv,
                         {"--key", "--ed25519-key", "--version", "--input", "--output", "--beta",
                          "--platform", "--max-package-size", "--expires", "--timestamp"},
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
    if (!BParseDecimal(args.m_mapOptions["--version"], &options.m_ulVersion))
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
    if (!BParseBuildNumbers(args, &options, &strProblem))
        return Usage(strProblem.c_str());

    CPublishKey key;
    CPublishEd25519Key keyEd25519;
    bool bEd25519 = false;
    std::string strError;
    if (!key.BLoad(args.m_mapOptions["--key"].c_str(), &strError) ||
        !BLoadOptionalEd25519Key(args, &keyEd25519, &bEd25519, &strError) ||
        !BPublishBuild(options, key, bEd25519 ? &keyEd25519 : nullptr, &strError))
        return Fail(strError);
    return k_nExitOk;
}

int Sign(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv, {"--key", "--ed25519-key"}, &args, &strProblem))
        return Usage(strProblem.c_str());
    if (!args.m_mapOptions.count("--key") || args.m_vecPositional.size() != 2)
        return Usage("sign takes --key FILE [--ed25519-key FILE] IN OUT");
    const std::string &strIn = args.m_vecPositional[0];
    const std::string &strOut = args.m_vecPositional[1];

    CPublishKey key;
    CPublishEd25519Key keyEd25519;
    bool bEd25519 = false;
    std::string strError, strText, strSigned;
    if (!key.BLoad(args.m_mapOptions["--key"].c_str(), &strError) ||
        !BLoadOptionalEd25519Key(args, &keyEd25519, &bEd25519, &strError))
        return Fail(strError);
    if (!BReadWholeFile(strIn, &strText))
        return Fail("cannot read " + strIn);
    if (!BSignManifestText(strText, strIn.c_str(), key, bEd25519 ? &keyEd25519 : nullptr, &strSigned,
                           &strError) ||
        !BWriteFileAtomically(strOut, strSigned, &strError))
        return Fail(strError);
    // Signed as asked; a launcher checks more than the signature.
    KeyValues *pSigned = LoadManifestText(strSigned, strOut.c_str(), &strError);
    CKeyValuesAutoDelete signedDelete(pSigned);
    CUtlString strReason;
    ManifestChecks_t checks;
    std::string strChecksProblem;
    if (pSigned && !BCheckManifestStructure(pSigned, &strReason))
        fprintf(stderr, "ferro-publish: warning: a launcher refuses %s: %s\n", strOut.c_str(),
                strReason.Get());
    else if (pSigned && !BReadManifestChecks(pSigned, std::filesystem::path(strOut).filename().string(),
                                             &checks, &strChecksProblem))
        fprintf(stderr, "ferro-publish: warning: a launcher that checks the build's values refuses %s: %s\n",
                strOut.c_str(), strChecksProblem.c_str());
    return k_nExitOk;
}

int Verify(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv,
                         {"--pubkey", "--pubkey-file", "--ed25519-pubkey", "--ed25519-pubkey-file"}, &args,
                         &strProblem))
        return Usage(strProblem.c_str());
    bool bHex = args.m_mapOptions.count("--pubkey") != 0,
         bFile = args.m_mapOptions.count("--pubkey-file") != 0;
    bool bEdHex = args.m_mapOptions.count("--ed25519-pubkey") != 0,
         bEdFile = args.m_mapOptions.count("--ed25519-pubkey-file") != 0;
    if (bHex == bFile || (bEdHex && bEdFile) || args.m_vecPositional.size() != 1)
        return Usage(
            "verify takes --pubkey HEX or --pubkey-file FILE, at most one of --ed25519-pubkey HEX and "
            "--ed25519-pubkey-file FILE, and MANIFEST");

    std::string strKey, strEdKey;
    if (!BReadKeyOption(args, "--pubkey", "--pubkey-file", &strKey, &strProblem) ||
        !BReadKeyOption(args, "--ed25519-pubkey", "--ed25519-pubkey-file", &strEdKey, &strProblem))
        return Usage(strProblem.c_str());
    if (!strEdKey.empty() && strEdKey.size() != (size_t)k_cchEd25519PublicKeyHex)
        return Usage("an Ed25519 public key is 64 hex digits");

    const std::string &strManifest = args.m_vecPositional[0];
    std::string strText, strError;
    if (!BReadWholeFile(strManifest, &strText))
        return Usage(("cannot read " + strManifest).c_str());
    KeyValues *pManifest = LoadManifestText(strText, strManifest.c_str(), &strError);
    CKeyValuesAutoDelete manifestDelete(pManifest);
    if (!pManifest)
        fprintf(stderr, "ferro-publish: %s\n", strError.c_str());
    // As the launcher checks it; given an Ed25519 key, as a launcher that requires that
    // signature checks it.
    ManifestTrust_t trust;
    trust.m_pchRSAPublicKeyHex = strKey.c_str();
    trust.m_pchEd25519PublicKeyHex = strEdKey.c_str();
    trust.m_bRequireEd25519 = !strEdKey.empty();
    CUtlString strReason;
    bool bValid = pManifest && BVerifyManifest(pManifest, trust, &strReason);
    std::string strCheckProblem;
    ManifestChecks_t checks;
    if (bValid && !BReadManifestChecks(pManifest, std::filesystem::path(strManifest).filename().string(),
                                       &checks, &strCheckProblem))
    {
        bValid = false;
        strReason = strCheckProblem.c_str();
    }
    if (pManifest && !bValid)
        fprintf(stderr, "ferro-publish: %s: %s\n", strManifest.c_str(), strReason.Get());
    // What it carries is worth telling only of a manifest that launchers believe.
    if (bValid)
        fputs(DescribeManifestChecks(checks, !strEdKey.empty(), (unsigned long long)time(nullptr)).c_str(),
              stdout);
    puts(bValid ? "valid" : "invalid");
    return bValid ? k_nExitOk : k_nExitFailed;
}

int Diff(int argc, char **argv)
{
    Arguments_t args;
    std::string strProblem;
    if (!BParseArguments(argc, argv, {"--beta", "--platform"}, &args, &strProblem))
        return Usage(strProblem.c_str());
    if (args.m_vecPositional.size() != 2)
        return Usage("diff takes OLD and NEW (manifests or content folders)");
    PublishDiffSource_t oldBuild;
    oldBuild.m_strPath = args.m_vecPositional[0];
    oldBuild.m_strBeta = args.m_mapOptions.count("--beta") ? args.m_mapOptions["--beta"] : "";
    oldBuild.m_strPlatform =
        args.m_mapOptions.count("--platform") ? args.m_mapOptions["--platform"] : FERRO_PLATFORM_TAG;
    if ((args.m_mapOptions.count("--beta") && !BIsPublishNameToken(oldBuild.m_strBeta)) ||
        !BIsPublishNameToken(oldBuild.m_strPlatform))
        return Usage("--beta and --platform take ASCII letters, digits and '_' only");
    PublishDiffSource_t newBuild = oldBuild;
    newBuild.m_strPath = args.m_vecPositional[1];

    PublishDiff_t diff;
    std::string strError;
    if (!BDiffBuilds(oldBuild, newBuild, &diff, &strError))
        return Fail(strError);
    fputs(DescribeDiff(diff).c_str(), stdout);
    return k_nExitOk;
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
    if (strCommand == "diff")
        return Diff(argc, argv);
    return Usage(("unknown command " + strCommand).c_str());
}
