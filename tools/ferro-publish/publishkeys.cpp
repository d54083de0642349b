#include "publishkeys.h"

#include "publishfile.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

namespace
{
typedef std::vector<CryptoPP::byte> Bytes;

// The DER of a PEM block: the base64 text between "-----BEGIN <label>-----" and the
// matching end line. False when there is no such block or it is encrypted.
bool BDecodePEM(const std::string &strText, std::string *pstrLabel, Bytes *pvecDER, std::string *pstrError)
{
    size_t iBegin = strText.find("-----BEGIN ");
    if (iBegin == std::string::npos)
        return false;
    size_t iLabel = iBegin + strlen("-----BEGIN ");
    size_t iLabelEnd = strText.find("-----", iLabel);
    if (iLabelEnd == std::string::npos)
    {
        *pstrError = "the PEM header line is incomplete";
        return false;
    }
    *pstrLabel = strText.substr(iLabel, iLabelEnd - iLabel);
    std::string strEnd = "-----END " + *pstrLabel + "-----";
    size_t iBody = iLabelEnd + 5;
    size_t iEnd = strText.find(strEnd, iBody);
    if (iEnd == std::string::npos)
    {
        *pstrError = "the PEM block has no \"" + strEnd + "\" line";
        return false;
    }
    std::string strBody = strText.substr(iBody, iEnd - iBody);
    if (*pstrLabel == "ENCRYPTED PRIVATE KEY" || strBody.find("ENCRYPTED") != std::string::npos)
    {
        *pstrError = "the private key is encrypted; write it out unencrypted first "
                     "(openssl pkey -in KEY -out PLAIN.pem)";
        return false;
    }
    if (*pstrLabel != "PRIVATE KEY" && *pstrLabel != "RSA PRIVATE KEY")
    {
        *pstrError = "the PEM block is a \"" + *pstrLabel + "\", not a private key";
        return false;
    }
    CryptoPP::Base64Decoder decoder;
    decoder.Put((const CryptoPP::byte *)strBody.data(), strBody.size());
    decoder.MessageEnd();
    pvecDER->resize((size_t)decoder.MaxRetrievable());
    decoder.Get(pvecDER->data(), pvecDER->size());
    return true;
}
} // namespace

struct CPublishKey::KeyState_t
{
    CryptoPP::RSA::PrivateKey m_Key;
    bool m_bValid = false;
};

CPublishKey::CPublishKey() : m_pState(new KeyState_t) {}

CPublishKey::~CPublishKey() {}

std::string HexEncode(const void *pubData, size_t cubData)
{
    static const char s_rgchDigits[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(cubData * 2);
    for (size_t i = 0; i < cubData; ++i)
    {
        unsigned char ub = ((const unsigned char *)pubData)[i];
        strHex += s_rgchDigits[ub >> 4];
        strHex += s_rgchDigits[ub & 0xF];
    }
    return strHex;
}

bool CPublishKey::BGenerate(unsigned int cBits, std::string *pstrError)
{
    try
    {
        CryptoPP::AutoSeededRandomPool rng;
        m_pState->m_Key.GenerateRandomWithKeySize(rng, cBits);
        m_pState->m_bValid = true;
        return true;
    }
    catch (const CryptoPP::Exception &e)
    {
        *pstrError = std::string("key generation failed: ") + e.what();
        return false;
    }
}

bool BReadPrivateKeyFile(const char *pchPath, std::vector<uint8> *pvecDER, std::string *pstrError)
{
    std::string strContent;
    if (!BReadWholeFile(pchPath, &strContent))
    {
        *pstrError = std::string("cannot read ") + pchPath;
        return false;
    }
    std::string strLabel;
    if (strContent.find("-----BEGIN ") != std::string::npos)
    {
        if (!BDecodePEM(strContent, &strLabel, pvecDER, pstrError))
        {
            *pstrError = std::string(pchPath) + ": " + *pstrError;
            return false;
        }
    }
    else
    {
        pvecDER->assign(strContent.begin(), strContent.end());
    }
    return true;
}

bool BWritePrivateKeyFile(const char *pchPath, const std::vector<uint8> &vecDER, std::string *pstrError)
{
    std::error_code ec;
    if (std::filesystem::exists(pchPath, ec))
    {
        *pstrError = std::string(pchPath) + " exists already; not replacing a key";
        return false;
    }
    FILE *pFile = fopen(pchPath, "wb");
    if (!pFile)
    {
        *pstrError = std::string("cannot create ") + pchPath;
        return false;
    }
    // Private from the start: nobody else may read it, even while it is written.
    std::filesystem::permissions(
        pchPath, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    bool bOk = fwrite(vecDER.data(), 1, vecDER.size(), pFile) == vecDER.size();
    bOk = fclose(pFile) == 0 && bOk;
    if (!bOk)
    {
        std::filesystem::remove(pchPath, ec);
        *pstrError = std::string("cannot write ") + pchPath;
    }
    return bOk;
}

bool CPublishKey::BLoad(const char *pchPath, std::string *pstrError)
{
    m_pState->m_bValid = false;
    Bytes vecDER;
    if (!BReadPrivateKeyFile(pchPath, &vecDER, pstrError))
        return false;

    // PKCS #8 first (what this tool and "openssl genpkey" write), then the bare PKCS #1
    // form of older tools.
    for (int iForm = 0; iForm < 2 && !m_pState->m_bValid; ++iForm)
    {
        try
        {
            CryptoPP::ByteQueue queue;
            queue.Put(vecDER.data(), vecDER.size());
            queue.MessageEnd();
            if (iForm == 0)
                m_pState->m_Key.BERDecode(queue);
            else
                m_pState->m_Key.BERDecodePrivateKey(queue, false, (size_t)queue.MaxRetrievable());
            CryptoPP::AutoSeededRandomPool rng;
            m_pState->m_bValid = m_pState->m_Key.Validate(rng, 2);
        }
        catch (const CryptoPP::Exception &)
        {
        }
    }
    if (!m_pState->m_bValid)
        *pstrError = std::string(pchPath) + " is not an RSA private key (PKCS #8 or PKCS #1, DER or PEM)";
    return m_pState->m_bValid;
}

bool CPublishKey::BSavePrivateDER(const char *pchPath, std::string *pstrError) const
{
    CryptoPP::ByteQueue queue;
    m_pState->m_Key.DEREncode(queue);
    Bytes vecDER((size_t)queue.MaxRetrievable());
    queue.Get(vecDER.data(), vecDER.size());
    return BWritePrivateKeyFile(pchPath, vecDER, pstrError);
}

std::string CPublishKey::PublicKeyHex() const
{
    CryptoPP::RSA::PublicKey publicKey(m_pState->m_Key);
    CryptoPP::ByteQueue queue;
    publicKey.DEREncode(queue);
    Bytes vecDER((size_t)queue.MaxRetrievable());
    queue.Get(vecDER.data(), vecDER.size());
    return HexEncode(vecDER.data(), vecDER.size());
}

size_t CPublishKey::SignatureLength() const
{
    return (size_t)m_pState->m_Key.GetModulus().ByteCount();
}

bool CPublishKey::BSign(const void *pubMessage, size_t cubMessage, std::string *pstrSignatureHex,
                        std::string *pstrError) const
{
    try
    {
        CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(m_pState->m_Key);
        CryptoPP::AutoSeededRandomPool rng;
        Bytes vecSignature(signer.MaxSignatureLength());
        size_t cubSignature =
            signer.SignMessage(rng, (const CryptoPP::byte *)pubMessage, cubMessage, vecSignature.data());
        *pstrSignatureHex = HexEncode(vecSignature.data(), cubSignature);
        return true;
    }
    catch (const CryptoPP::Exception &e)
    {
        *pstrError = std::string("signing failed: ") + e.what();
        return false;
    }
}
