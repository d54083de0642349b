// "ferro-publish build": a staging directory becomes content-addressed packages and a
// signed manifest in a content service's directory.
//
// Every top-level directory of the staging tree is one package, named after it in lower
// case, or several when it does not fit in one package (publishpacking.h); the files at the
// top level form the package "root" in the same way. Each package is a zip archive
// whose items are the paths relative to the staging tree; it is stored as
// <content>/client/<name>.zip.<sha1 of the archive>. The manifest goes to
// <content>/client/arvo_launcher_[<beta>_]<platform tag>.
#pragma once

#include "foundation/basetypes.h"

#include <string>

class CPublishEd25519Key;
class CPublishKey;

// The package size that launchers which keep a 64 MiB limit on a response can download.
const uint64 k_cubDefaultMaxPackageSize = 64ull * 1024 * 1024;

struct PublishBuildOptions_t
{
    uint64 m_ulVersion = 0;
    uint64 m_cubMaxPackage = k_cubDefaultMaxPackageSize;
    uint64 m_ulTimestamp = 0;   // seconds since 1970
    uint64 m_cDaysToExpiry = 0; // 0: the manifest does not expire
    std::string m_strInputDir;
    std::string m_strOutputDir;
    std::string m_strBeta;     // "" for none
    std::string m_strPlatform; // the launcher's platform tag
};

// The base name of a manifest: "arvo_launcher_[<beta>_]<platform>".
std::string PublishManifestName(const std::string &strBeta, const std::string &strPlatform);

// Whether a name may be a beta name or platform tag (letters, digits and "_", not empty):
// the launcher keeps nothing else of a beta name.
bool BIsPublishNameToken(const std::string &strName);

// Builds and signs (with the Ed25519 key as well, when given); prints one line per package
// and one for the manifest. False, with the reason, on any failure (the manifest is then
// not written or replaced).
bool BPublishBuild(const PublishBuildOptions_t &options, const CPublishKey &key,
                   const CPublishEd25519Key *pEd25519Key, std::string *pstrError);
