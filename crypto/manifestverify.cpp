#include "crypto/manifestverify.h"

#include "crypto/crypto.h"
#include "crypto/kvsignature.h"
#include "crypto/manifestbinding.h"
#include "crypto/manifestreason.h"
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cctype>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace
{
// What precedes every Ed25519 message, so that no other signed thing can pass for one.
const char k_szEd25519Label[] = "arvo manifest ed25519 1";
std::string Quoted(const char *pch)
{
    return QuoteManifestText(pch);
}

std::string LowerCase(const char *pch)
{
    std::string str = pch;
    for (char &ch : str)
        ch = Q_tolower_ascii(ch);
    return str;
}

bool BIsPackageNameChar(char ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
           ch == '-';
}

bool BIsHexDigits(const char *pch, size_t cch)
{
    for (size_t i = 0; i < cch; ++i)
    {
        if (!isxdigit((unsigned char)pch[i]))
            return false;
    }
    return pch[cch] == '\0';
}

bool BIsSection(KeyValues *pKV)
{
    return pKV->GetDataType() == KeyValues::TYPE_NONE;
}

bool Fail(CUtlString *pstrReason, const std::string &strReason)
{
    return BFailManifestCheck(pstrReason, strReason);
}

// One package block: plain values only, one "file" naming this package's archive and one
// "size".
bool BCheckPackage(KeyValues *pPackage, CUtlString *pstrReason)
{
    const char *pchName = pPackage->GetName();
    const std::string strPackage = "package " + Quoted(pchName);
    if (!*pchName)
        return Fail(pstrReason, "a package without a name");
    for (const char *pch = pchName; *pch; ++pch)
    {
        if (!BIsPackageNameChar(*pch))
            return Fail(pstrReason,
                        strPackage + ": a package name is made of ASCII letters, digits, '_' and '-'");
    }
    int cFiles = 0, cSizes = 0;
    const char *pchFile = "";
    const char *pchSize = "";
    for (KeyValues *pValue = pPackage->GetFirstSubKey(); pValue; pValue = pValue->GetNextKey())
    {
        if (BIsSection(pValue))
            return Fail(pstrReason, strPackage + " holds a block " + Quoted(pValue->GetName()));
        if (Q_stricmp(pValue->GetName(), "file") == 0)
        {
            ++cFiles;
            pchFile = pValue->GetString(nullptr, "");
        }
        else if (Q_stricmp(pValue->GetName(), "size") == 0)
        {
            ++cSizes;
            pchSize = pValue->GetString(nullptr, "");
        }
    }
    if (cFiles != 1 || cSizes != 1)
        return Fail(pstrReason, strPackage + " has " + std::to_string(cFiles) + " \"file\" and " +
                                    std::to_string(cSizes) + " \"size\" values (one of each)");

    // "<name>.zip.<40 hex digits>": the name before the first dot, the digest after the last.
    size_t cchName = strlen(pchName);
    bool bFileOk = Q_strnicmp(pchFile, pchName, (int)cchName) == 0 &&
                   strncmp(pchFile + cchName, ".zip.", 5) == 0 && BIsHexDigits(pchFile + cchName + 5, 40);
    if (!bFileOk)
        return Fail(pstrReason, strPackage + ": file " + Quoted(pchFile) +
                                    " is not the package name, \".zip.\" and 40 hex digits");
    uint64 ulSize;
    if (!BParseManifestSize(pchSize, &ulSize))
        return Fail(pstrReason,
                    strPackage + ": size " + Quoted(pchSize) + " is not a plain decimal number up to 2^53");
    // Even an empty zip archive has its end record: a size of 0 names no archive at all.
    if (ulSize == 0)
        return Fail(pstrReason, strPackage + ": size 0 is no archive (the smallest has 22 bytes)");
    return true;
}

// The signature block: plain values, a few of them.
bool BCheckSignatureBlock(KeyValues *pSignatures, CUtlString *pstrReason)
{
    int cEntries = 0;
    for (KeyValues *pEntry = pSignatures->GetFirstSubKey(); pEntry; pEntry = pEntry->GetNextKey())
    {
        if (BIsSection(pEntry))
            return Fail(pstrReason, "the signature block holds a block " + Quoted(pEntry->GetName()));
        if (++cEntries > k_cMaxSignatureEntries)
            return Fail(pstrReason, "the signature block has more than " +
                                        std::to_string(k_cMaxSignatureEntries) + " entries");
    }
    return true;
}

void PutLength(CUtlBuffer &buf, size_t cb)
{
    uint32 un = (uint32)cb;
    const uint8 rgub[4] = {(uint8)(un >> 24), (uint8)(un >> 16), (uint8)(un >> 8), (uint8)un};
    buf.Put(rgub, 4);
}

void PutCounted(CUtlBuffer &buf, const std::string &str)
{
    PutLength(buf, str.size());
    buf.Put(str.data(), (int)str.size());
}

KeyValues *LastPeer(KeyValues *pKV)
{
    while (pKV->GetNextKey())
        pKV = pKV->GetNextKey();
    return pKV;
}

bool BVerifyEd25519(KeyValues *pManifest, const char *pchSignatureHex, const char *pchPublicKeyHex)
{
    uint8 rgubKey[CCrypto::k_cubEd25519PublicKey];
    uint32 cubKey = sizeof(rgubKey);
    if (!pchPublicKeyHex || !CCrypto::HexDecode(pchPublicKeyHex, rgubKey, &cubKey) ||
        cubKey != sizeof(rgubKey))
        return false;
    uint8 rgubSignature[CCrypto::k_cubEd25519Signature];
    uint32 cubSignature = sizeof(rgubSignature);
    if (strlen(pchSignatureHex) != (size_t)k_cchEd25519SignatureHex ||
        !CCrypto::HexDecode(pchSignatureHex, rgubSignature, &cubSignature) ||
        cubSignature != sizeof(rgubSignature))
        return false;
    CUtlBuffer bufMessage;
    SerializeKeyValuesForEd25519(pManifest, bufMessage);
    return CCrypto::Ed25519VerifySignature((const uint8 *)bufMessage.Base(), (uint32)bufMessage.TellMaxPut(),
                                           rgubSignature, rgubKey);
}
} // namespace

bool BManifestTextWithinLimits(const char *pchText, CUtlString *pstrReason)
{
    if (!pchText)
        return Fail(pstrReason, "no manifest text");
    size_t cchText = strnlen(pchText, k_cubMaxManifestText + 1);
    if (cchText > k_cubMaxManifestText)
        return Fail(pstrReason, std::string("the manifest is longer than ") +
                                    Q_FormatNumber((int64)k_cubMaxManifestText) + " bytes");

    // The tokens as the KeyValues reader cuts them (manifests are read without escapes). A
    // name is the first token where a key may start; braces, "=" and conditionals are not.
    int cKeys = 0;
    bool bExpectName = true;
    const char *pch = pchText;
    for (;;)
    {
        while (*pch && isspace((unsigned char)*pch))
            ++pch;
        if (pch[0] == '/' && pch[1] == '/')
        {
            while (*pch && *pch != '\n')
                ++pch;
            continue;
        }
        if (!*pch)
            break;
        bool bStructural = false;
        if (*pch == '"')
        {
            const char *pchClose = strchr(pch + 1, '"');
            pch = pchClose ? pchClose + 1 : pch + strlen(pch);
        }
        else if (*pch == '{' || *pch == '}' || *pch == '=')
        {
            // '=' joins a name to its value; a brace opens or closes a block.
            bExpectName = bExpectName || *pch != '=';
            bStructural = true;
            ++pch;
        }
        else
        {
            const char *pchStart = pch;
            while (*pch && *pch != '"' && *pch != '{' && *pch != '}' && *pch != '=' &&
                   !isspace((unsigned char)*pch))
                ++pch;
            const void *pvOpen = memchr(pchStart, '[', (size_t)(pch - pchStart));
            bStructural = pvOpen && memchr(pvOpen, ']', (size_t)(pch - (const char *)pvOpen));
        }
        if (bStructural)
            continue;
        if (!bExpectName)
        {
            bExpectName = true; // a value
            continue;
        }
        bExpectName = false;
        if (++cKeys > k_cMaxManifestKeys)
            return Fail(pstrReason, std::string("the manifest has more than ") +
                                        Q_FormatNumber(k_cMaxManifestKeys) + " keys");
    }
    return true;
}

bool BParseManifestSize(const char *pchText, uint64 *pulSize)
{
    return BParsePlainDecimal(pchText, k_cubMaxManifestPackageSize, pulSize);
}

uint64 ManifestPackageSize(KeyValues *pPackage)
{
    uint64 ulSize = 0;
    BParseManifestSize(pPackage->GetString("size", ""), &ulSize);
    return ulSize;
}

bool BCheckManifestStructure(KeyValues *pManifest, CUtlString *pstrReason)
{
    if (!pManifest)
        return Fail(pstrReason, "no manifest");
    if (!BIsSection(pManifest))
        return Fail(pstrReason, "the manifest key holds a value, not a block");

    // Names are looked up without regard to case: two that differ only in case would be one
    // to FindKey and two to a loop.
    std::unordered_set<std::string> setNames;
    for (KeyValues *pChild = pManifest->GetFirstSubKey(); pChild; pChild = pChild->GetNextKey())
    {
        if (!setNames.insert(LowerCase(pChild->GetName())).second)
            return Fail(pstrReason, "the manifest names " + Quoted(pChild->GetName()) + " twice");
        if (BIsSection(pChild) && !BCheckPackage(pChild, pstrReason))
            return false;
    }

    int cSignatureBlocks = 0;
    KeyValues *pLast = pManifest;
    for (KeyValues *pPeer = pManifest->GetNextKey(); pPeer; pPeer = pPeer->GetNextKey())
    {
        cSignatureBlocks += Q_stricmp(pPeer->GetName(), KV_SIGNATURES_KEY) == 0;
        pLast = pPeer;
    }
    if (cSignatureBlocks > 1)
        return Fail(pstrReason, "more than one signature block");
    if (cSignatureBlocks == 0 || Q_stricmp(pLast->GetName(), KV_SIGNATURES_KEY) != 0)
        return Fail(pstrReason, "the signature block is not the last key");
    return BCheckSignatureBlock(pLast, pstrReason);
}

void SerializeKeyValuesForEd25519(KeyValues *pKV, CUtlBuffer &buf)
{
    Assert(!buf.IsText());
    if (!pKV)
        return;
    buf.Put(k_szEd25519Label, (int)sizeof(k_szEd25519Label));
    // Depth-first without recursion: a block's closing brace comes after its last child.
    std::vector<KeyValues *> vecOpen;
    KeyValues *pNode = pKV;
    while (pNode)
    {
        if (BIsSection(pNode))
        {
            buf.PutChar('{');
            PutCounted(buf, LowerCase(pNode->GetName()));
            if (KeyValues *pFirst = pNode->GetFirstSubKey())
            {
                vecOpen.push_back(pNode);
                pNode = pFirst;
                continue;
            }
            buf.PutChar('}');
        }
        else
        {
            buf.PutChar('=');
            PutCounted(buf, LowerCase(pNode->GetName()));
            PutCounted(buf, pNode->GetString(nullptr, ""));
        }
        // The next sibling, or close blocks until one has a next sibling.
        while (pNode && pNode != pKV && !pNode->GetNextKey())
        {
            pNode = vecOpen.empty() ? nullptr : vecOpen.back();
            if (pNode)
            {
                vecOpen.pop_back();
                buf.PutChar('}');
            }
        }
        pNode = (pNode && pNode != pKV) ? pNode->GetNextKey() : nullptr;
    }
}

bool BVerifyManifestEd25519Signature(KeyValues *pManifest, const char *pchPublicKeyHex)
{
    if (!pManifest || !pManifest->GetNextKey())
        return false;
    KeyValues *pSignatures = LastPeer(pManifest);
    if (Q_stricmp(pSignatures->GetName(), KV_SIGNATURES_KEY) != 0)
        return false;
    KeyValues *pEd25519 = pSignatures->FindKey(KV_ED25519_SIGNATURE_KEY);
    return pEd25519 && !BIsSection(pEd25519) &&
           BVerifyEd25519(pManifest, pEd25519->GetString(nullptr, ""), pchPublicKeyHex);
}

bool BVerifyManifest(KeyValues *pManifest, const ManifestTrust_t &trust, CUtlString *pstrReason)
{
    if (!pManifest)
        return Fail(pstrReason, "no manifest");
    if (!BVerifyKeyValuesSignature(pManifest, trust.m_pchRSAPublicKeyHex))
        return Fail(pstrReason, "the RSA signature does not verify");
    if (!BCheckManifestStructure(pManifest, pstrReason) ||
        !BCheckManifestBindingValues(pManifest, trust.m_bRequirePackageSHA256, pstrReason))
        return false;

    KeyValues *pSignatures = LastPeer(pManifest);
    KeyValues *pEd25519 = pSignatures->FindKey(KV_ED25519_SIGNATURE_KEY);
    const bool bHaveKey = trust.m_pchEd25519PublicKeyHex && *trust.m_pchEd25519PublicKeyHex;
    if (!pEd25519)
    {
        if (trust.m_bRequireEd25519)
            return Fail(pstrReason, "no Ed25519 signature, which this launcher requires");
        return true;
    }
    const char *pchSignature = pEd25519->GetString(nullptr, "");
    if (strlen(pchSignature) != (size_t)k_cchEd25519SignatureHex ||
        !BIsHexDigits(pchSignature, strlen(pchSignature)))
        return Fail(pstrReason, "the Ed25519 signature is not " + std::to_string(k_cchEd25519SignatureHex) +
                                    " hex digits");
    if (!bHaveKey)
        return !trust.m_bRequireEd25519 ||
               Fail(pstrReason, "no Ed25519 key to check the required signature with");
    if (!BVerifyEd25519(pManifest, pchSignature, trust.m_pchEd25519PublicKeyHex))
        return Fail(pstrReason, "the Ed25519 signature does not verify");
    return true;
}
