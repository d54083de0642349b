// Helpers of the client launch tests: an install directory with copies of the sample
// client libraries, entered as the working directory, and a private registry and event
// namespace for the test.
#pragma once

#include "foundation/platform/file.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

// The folder of the built executables and sample libraries.
inline std::string BinDir()
{
    const char *pchDir = getenv("FERRO_BIN_DIR");
    return pchDir ? pchDir : "bin";
}

class CClientInstallDir
{
public:
    CClientInstallDir()
    {
        EXPECT_TRUE(PLAT_GetCurrentDirectory(m_rgchOldDir, sizeof(m_rgchOldDir)));
        EXPECT_TRUE(PLAT_SetCurrentDirectory(m_Dir.Path().c_str()));
        setenv("FERRO_REGISTRY_DIR", m_Dir.File("registry").c_str(), 1);
        m_strNamespace = "ferro-unit-" + std::to_string(getpid());
        setenv("FERRO_IPC_NAMESPACE", m_strNamespace.c_str(), 1);
    }
    ~CClientInstallDir()
    {
        PLAT_SetCurrentDirectory(m_rgchOldDir);
        unsetenv("FERRO_REGISTRY_DIR");
        unsetenv("FERRO_IPC_NAMESPACE");
        unsetenv("FERRO_SAMPLE_CLIENT_FAIL");
        unsetenv("FERRO_SAMPLE_CLIENT_RUN");
        for (const char *pchSuffix : {".owner", ".ready"})
            unlink(("/dev/shm/" + m_strNamespace + ".Global.Quill_FerroIPC_Class" + pchSuffix).c_str());
    }
    // Copies a sample library from the build under another name (or its own).
    bool BCopyLibrary(const std::string &strBuilt, const std::string &strAs = "")
    {
        return PLAT_CopyFile((BinDir() + "/" + strBuilt).c_str(),
                             m_Dir.File(strAs.empty() ? strBuilt : strAs).c_str());
    }
    std::string File(const std::string &strName) const { return m_Dir.File(strName); }
    const std::string &Path() const { return m_Dir.Path(); }

private:
    CTempDir m_Dir;
    char m_rgchOldDir[4096];
    std::string m_strNamespace;
};
