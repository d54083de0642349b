#include "ferroexe/manifestkey.h"

ManifestTrust_t GetBuiltInManifestTrust()
{
    ManifestTrust_t trust;
    trust.m_pchRSAPublicKeyHex = GetManifestPublicKeyHex();
    trust.m_pchEd25519PublicKeyHex = GetManifestEd25519PublicKeyHex();
    trust.m_bRequireEd25519 = BManifestRequiresEd25519();
    trust.m_bRequirePackageSHA256 = BManifestRequiresPackageSHA256();
    return trust;
}
