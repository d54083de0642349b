// Manifest signing keys of the publisher: RSA key pairs made, read and written in the
// formats other tools use (PKCS #8 DER or PEM private keys, PKCS #1 accepted on input; the
// public key as hex DER X.509 SubjectPublicKeyInfo, the form the launcher is built with),
// and RSASSA-PKCS1-v1_5 signatures with SHA-1; Ed25519 key pairs (PKCS #8 DER or PEM
// private keys, the raw public key as hex) and their signatures.
#pragma once

#include "foundation/basetypes.h"

#include <memory>
#include <string>
#include <vector>

class CPublishKey
{
public:
    CPublishKey();
    ~CPublishKey();
    CPublishKey(const CPublishKey &) = delete;
    CPublishKey &operator=(const CPublishKey &) = delete;

    // A fresh RSA key pair of the given size in bits.
    bool BGenerate(unsigned int cBits, std::string *pstrError);
    // Reads a private key file: PKCS #8 or PKCS #1, DER or PEM (unencrypted).
    bool BLoad(const char *pchPath, std::string *pstrError);
    // Writes the private key as PKCS #8 DER, readable by the owner only. Refuses to replace
    // an existing file.
    bool BSavePrivateDER(const char *pchPath, std::string *pstrError) const;

    // The public key as lower-case hex of its DER SubjectPublicKeyInfo.
    std::string PublicKeyHex() const;
    // Length in bytes of the signatures this key makes (the modulus length).
    size_t SignatureLength() const;
    // The signature of the message as lower-case hex; false (with the reason) on failure.
    bool BSign(const void *pubMessage, size_t cubMessage, std::string *pstrSignatureHex,
               std::string *pstrError) const;

private:
    struct KeyState_t;
    std::unique_ptr<KeyState_t> m_pState;
};

// Lower-case hex of the bytes.
std::string HexEncode(const void *pubData, size_t cubData);

class CPublishEd25519Key
{
public:
    CPublishEd25519Key();
    ~CPublishEd25519Key();
    CPublishEd25519Key(const CPublishEd25519Key &) = delete;
    CPublishEd25519Key &operator=(const CPublishEd25519Key &) = delete;

    bool BGenerate(std::string *pstrError);
    // Reads a private key file: PKCS #8, DER or PEM (unencrypted), as openssl writes it.
    bool BLoad(const char *pchPath, std::string *pstrError);
    // Writes the private key as PKCS #8 DER, readable by the owner only; never replaces.
    bool BSavePrivateDER(const char *pchPath, std::string *pstrError) const;
    // The raw public key (32 bytes) as lower-case hex: FERRO_MANIFEST_PUBLIC_KEY_ED25519.
    std::string PublicKeyHex() const;
    // The signature (64 bytes) of the message as lower-case hex.
    bool BSign(const void *pubMessage, size_t cubMessage, std::string *pstrSignatureHex,
               std::string *pstrError) const;

private:
    struct KeyState_t;
    std::unique_ptr<KeyState_t> m_pState;
};

// The DER bytes of a private key file, DER or PEM ("PRIVATE KEY" or "RSA PRIVATE KEY").
bool BReadPrivateKeyFile(const char *pchPath, std::vector<uint8> *pvecDER, std::string *pstrError);
// Writes private key bytes to a new file that only the owner can read; never replaces one.
bool BWritePrivateKeyFile(const char *pchPath, const std::vector<uint8> &vecDER, std::string *pstrError);
