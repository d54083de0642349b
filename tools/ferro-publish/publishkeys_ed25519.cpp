// Ed25519 keys of the publisher (publishkeys.h).
#include "publishkeys.h"

#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/xed25519.h>

struct CPublishEd25519Key::KeyState_t
{
    CryptoPP::ed25519Signer m_Signer;
    bool m_bValid = false;

    const CryptoPP::ed25519PrivateKey &PrivateKey() const
    {
        return static_cast<const CryptoPP::ed25519PrivateKey &>(m_Signer.GetPrivateKey());
    }
};

CPublishEd25519Key::CPublishEd25519Key() : m_pState(new KeyState_t) {}

CPublishEd25519Key::~CPublishEd25519Key() {}

bool CPublishEd25519Key::BGenerate(std::string *pstrError)
{
    try
    {
        CryptoPP::AutoSeededRandomPool rng;
        m_pState->m_Signer = CryptoPP::ed25519Signer(rng);
        m_pState->m_bValid = true;
        return true;
    }
    catch (const CryptoPP::Exception &e)
    {
        *pstrError = std::string("Ed25519 key generation failed: ") + e.what();
        return false;
    }
}

bool CPublishEd25519Key::BLoad(const char *pchPath, std::string *pstrError)
{
    m_pState->m_bValid = false;
    std::vector<uint8> vecDER;
    if (!BReadPrivateKeyFile(pchPath, &vecDER, pstrError))
        return false;
    try
    {
        CryptoPP::ByteQueue queue;
        queue.Put(vecDER.data(), vecDER.size());
        queue.MessageEnd();
        CryptoPP::ed25519PrivateKey key;
        key.Load(queue);
        CryptoPP::AutoSeededRandomPool rng;
        if (queue.CurrentSize() == 0 && key.Validate(rng, 2))
        {
            m_pState->m_Signer = CryptoPP::ed25519Signer(key);
            m_pState->m_bValid = true;
        }
    }
    catch (const CryptoPP::Exception &)
    {
    }
    if (!m_pState->m_bValid)
        *pstrError = std::string(pchPath) + " is not an Ed25519 private key (PKCS #8, DER or PEM)";
    return m_pState->m_bValid;
}

bool CPublishEd25519Key::BSavePrivateDER(const char *pchPath, std::string *pstrError) const
{
    CryptoPP::ByteQueue queue;
    // PKCS #8 version 1 (RFC 8410): the private key alone, as openssl writes it.
    m_pState->PrivateKey().Save(queue, true);
    std::vector<uint8> vecDER((size_t)queue.MaxRetrievable());
    queue.Get(vecDER.data(), vecDER.size());
    return BWritePrivateKeyFile(pchPath, vecDER, pstrError);
}

std::string CPublishEd25519Key::PublicKeyHex() const
{
    return HexEncode(m_pState->PrivateKey().GetPublicKeyBytePtr(),
                     CryptoPP::ed25519PrivateKey::PUBLIC_KEYLENGTH);
}

bool CPublishEd25519Key::BSign(const void *pubMessage, size_t cubMessage, std::string *pstrSignatureHex,
                               std::string *pstrError) const
{
    try
    {
        CryptoPP::AutoSeededRandomPool rng;
        std::vector<uint8> vecSignature(m_pState->m_Signer.MaxSignatureLength());
        size_t cubSignature = m_pState->m_Signer.SignMessage(rng, (const CryptoPP::byte *)pubMessage,
                                                             cubMessage, vecSignature.data());
        *pstrSignatureHex = HexEncode(vecSignature.data(), cubSignature);
        return true;
    }
    catch (const CryptoPP::Exception &e)
    {
        *pstrError = std::string("Ed25519 signing failed: ") + e.what();
        return false;
    }
}
