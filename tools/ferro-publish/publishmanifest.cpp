#include "publishmanifest.h"

#include "publishkeys.h"

#include "crypto/kvsignature.h"
#include "crypto/manifestverify.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

KeyValues *LoadManifestText(const std::string &strText, const char *pchResourceName, std::string *pstrError)
{
    CUtlString strReason;
    if (!BManifestTextWithinLimits(strText.c_str(), &strReason))
    {
        *pstrError = std::string(pchResourceName) + " is refused unparsed: " + strReason.Get();
        return nullptr;
    }
    CKeyValuesParser parser(pchResourceName, false);
    KeyValues *pKV = new KeyValues("manifest");
    if (strText.empty() || !pKV->LoadFromString(pchResourceName, strText.c_str(), &parser))
    {
        *pstrError = std::string(pchResourceName) + " does not load as KeyValues text";
        if (parser.GetErrorCount() > 0)
            *pstrError += std::string(":\n") + parser.GetErrorText();
        pKV->DeleteThis();
        return nullptr;
    }
    return pKV;
}

bool BSignManifestText(const std::string &strInput, const char *pchResourceName, const CPublishKey &key,
                       const CPublishEd25519Key *pEd25519Key, std::string *pstrOutput, std::string *pstrError)
{
    // The launcher takes at most 128 signature bytes (RSA keys of up to 1024 bits).
    size_t cubSignature = key.SignatureLength();
    if (cubSignature * 2 < (size_t)k_cchMinKVSignatureHex ||
        cubSignature * 2 > (size_t)k_cchMaxKVSignatureHex)
    {
        char rgchError[160];
        Q_snprintf(
            rgchError, sizeof(rgchError),
            "the key makes %u-byte signatures; the launcher accepts %d to %d bytes (RSA keys of at most "
            "1024 bits)",
            (unsigned)cubSignature, k_cchMinKVSignatureHex / 2, k_cchMaxKVSignatureHex / 2);
        *pstrError = rgchError;
        return false;
    }

    KeyValues *pRoot = LoadManifestText(strInput, pchResourceName, pstrError);
    if (!pRoot)
        return false;
    CKeyValuesAutoDelete rootDelete(pRoot);
    if (Q_stricmp(pRoot->GetName(), KV_SIGNATURES_KEY) == 0)
    {
        *pstrError = std::string(pchResourceName) + " holds only signatures: nothing to sign";
        return false;
    }

    CUtlBuffer bufMessage;
    SerializeKeyValuesForSignature(pRoot, bufMessage);
    std::string strSignature;
    if (!key.BSign(bufMessage.Base(), (size_t)bufMessage.TellMaxPut(), &strSignature, pstrError))
        return false;

    std::string strEd25519Signature;
    if (pEd25519Key)
    {
        CUtlBuffer bufEd25519;
        SerializeKeyValuesForEd25519(pRoot, bufEd25519);
        if (!pEd25519Key->BSign(bufEd25519.Base(), (size_t)bufEd25519.TellMaxPut(), &strEd25519Signature,
                                pstrError))
            return false;
    }

    CKeyValuesAutoDelete signatures(KV_SIGNATURES_KEY);
    CUtlBuffer bufOut(0, 0, CUtlBuffer::TEXT_BUFFER);
    for (KeyValues *pKey = pRoot; pKey; pKey = pKey->GetNextKey())
    {
        if (Q_stricmp(pKey->GetName(), KV_SIGNATURES_KEY) != 0)
        {
            pKey->WriteAsText(bufOut, false);
            continue;
        }
        // Signatures of other keys stay; the one of the signed key is replaced.
        for (KeyValues *pOld = pKey->GetFirstSubKey(); pOld; pOld = pOld->GetNextKey())
        {
            if (pOld->GetNameSymbol() != pRoot->GetNameSymbol() &&
                Q_stricmp(pOld->GetName(), KV_ED25519_SIGNATURE_KEY) != 0)
                signatures->AddSubKey(pOld->MakeCopy());
        }
    }
    signatures->CreateKey(pRoot->GetName())->SetString(nullptr, strSignature.c_str());
    if (pEd25519Key)
        signatures->CreateKey(KV_ED25519_SIGNATURE_KEY)->SetString(nullptr, strEd25519Signature.c_str());
    signatures->WriteAsText(bufOut, false);
    if (!bufOut.IsValid())
    {
        *pstrError = "cannot form the signed text";
        return false;
    }
    pstrOutput->assign((const char *)bufOut.Base(), (size_t)bufOut.TellMaxPut());

    // What the launcher will load must be what was signed.
    KeyValues *pCheck = LoadManifestText(*pstrOutput, pchResourceName, pstrError);
    CKeyValuesAutoDelete checkDelete(pCheck);
    if (!pCheck || !BVerifyKeyValuesSignature(pCheck, key.PublicKeyHex().c_str()) ||
        (pEd25519Key && !BVerifyManifestEd25519Signature(pCheck, pEd25519Key->PublicKeyHex().c_str())))
    {
        *pstrError = std::string("the signed text of ") + pchResourceName +
                     " does not verify when loaded again (a value the text format cannot carry?)";
        return false;
    }
    return true;
}
