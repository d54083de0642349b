// The development keys of tests/keys/ for the crypto and signature tests: their public
// halves as hex, and signatures made with their private halves as the content service makes
// them (RSASSA-PKCS1-v1_5 with SHA-1, and Ed25519, through Crypto++ itself).
#pragma once

#include "foundation/basetypes.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

// A file of the source tree.
inline std::string SourceFile(const char *pchRelative)
{
    const char *pchRoot = getenv("FERRO_SOURCE_DIR");
    return std::string(pchRoot ? pchRoot : ".") + "/" + pchRelative;
}

// A hex key file of tests/keys/, without the line end.
inline std::string KeyFileHex(const char *pchName)
{
    std::string strKey = ReadTextFile(SourceFile((std::string("tests/keys/") + pchName).c_str()));
    while (!strKey.empty() && isspace((unsigned char)strKey.back()))
        strKey.pop_back();
    return strKey;
}

// From the committed file rather than the build's key: a build may set its own key.
inline std::string DevPublicKeyHex()
{
    return KeyFileHex("dev_manifest_public.hex");
}

// The message signed with a private key of tests/keys/ (DER), by the library's signer.
template <typename TPrivateKey, typename TSigner>
std::vector<uint8> SignWithKeyFile(const char *pchKeyFile, const uint8 *pubMessage, size_t cubMessage)
{
    std::string strKey = ReadTextFile(SourceFile((std::string("tests/keys/") + pchKeyFile).c_str()));
    EXPECT_FALSE(strKey.empty());
    CryptoPP::ByteQueue queue;
    queue.Put((const CryptoPP::byte *)strKey.data(), strKey.size());
    queue.MessageEnd();
    TPrivateKey privateKey;
    privateKey.Load(queue);
    TSigner signer(privateKey);
    CryptoPP::AutoSeededRandomPool rng;
    std::vector<uint8> vecSignature(signer.MaxSignatureLength());
    vecSignature.resize(signer.SignMessage(rng, pubMessage, cubMessage, vecSignature.data()));
    return vecSignature;
}

inline std::vector<uint8> SignWithDevKey(const uint8 *pubMessage, size_t cubMessage)
{
    return SignWithKeyFile<CryptoPP::RSA::PrivateKey,
                           CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer>(
        "dev_manifest_private.der", pubMessage, cubMessage);
}

inline std::string DevEd25519PublicKeyHex()
{
    return KeyFileHex("dev_manifest_ed25519_public.hex");
}

inline std::vector<uint8> SignWithDevEd25519Key(const uint8 *pubMessage, size_t cubMessage)
{
    return SignWithKeyFile<CryptoPP::ed25519PrivateKey, CryptoPP::ed25519Signer>(
        "dev_manifest_ed25519_private.der", pubMessage, cubMessage);
}

// Bytes (a signature) as lower-case hex, as manifests carry them.
inline std::string HexOf(const std::vector<uint8> &vec)
{
    std::string strHex(vec.size() * 2 + 1, '\0');
    Q_binarytohex(vec.data(), (int)vec.size(), &strHex[0], (int)strHex.size());
    strHex.pop_back();
    return strHex;
}

// A manifest's text as the updater reads it (the parser of the content service's files).
inline KeyValues *LoadManifestText(const std::string &strText)
{
    KeyValues *pKV = new KeyValues("manifest");
    CKeyValuesParser parser("manifest", false);
    EXPECT_TRUE(pKV->LoadFromString("manifest", strText.c_str(), &parser)) << parser.GetErrorText();
    return pKV;
}
