// Registration with the optional crash handler library (interface "crashhandler001").
//
// The library is not part of this program; when the diagnostics layer has none loaded,
// every call here does nothing and crash reports are simply not written.
#pragma once

#include "foundation/basetypes.h"

#define CRASHHANDLER_INTERFACE_VERSION "crashhandler001"

class ICrashHandler
{
public:
    // Returns the handle that the other calls take.
    virtual void *BeginRegistration() = 0;
    virtual void SetRegistrationInfo(void *hRegistration, const char *pchProduct, const char *pchVersion,
                                     const char *pchTimestamp, bool bFullMemoryDump, uint32 unReserved1,
                                     uint32 unReserved2) = 0;
    virtual void AddComment(void *hRegistration, const char *pchComment) = 0;
    virtual void EndRegistration(void *hRegistration) = 0;
    virtual void SetCrashDescription(const char *pchDescription) = 0;

protected:
    ~ICrashHandler() {}
};

// A library's interface factory: the interface by version name, or null (code 1).
typedef void *(*FnCreateInterface)(const char *pchName, int *pnReturnCode);

// The crash handler library's factory, or null when none is loaded.
FnCreateInterface GetCrashHandlerFactory();

// Hands the build number (the low 32 bits of the installed version) to the crash handler;
// nothing happens without one (and none ships with this program).
void SetCrashHandlerBuildNumber(uint32 unBuildNumber);

// The bootstrapper version as "%lld" (at most 63 characters).
void FormatBootstrapperVersionText(char *pchOut, int cubOut);
// The compiler's __DATE__ ("Mmm dd yyyy") and __TIME__ ("hh:mm:ss") as fourteen digits
// YYYYMMDDhhmmss. False (and "00000000000000") when they cannot be read.
bool BFormatBuildTimestamp(const char *pchDate, const char *pchTime, char *pchOut, int cubOut);

// One process's registration, held by the update status UI.
class CCrashHandlerRegistration
{
public:
    // Registers as "ferro" with the version and build time; nothing without a crash handler.
    void Register(bool bFullMemoryDump);
    void Release();
    bool BIsRegistered() const { return m_hRegistration != nullptr; }

private:
    ICrashHandler *m_pCrashHandler = nullptr;
    void *m_hRegistration = nullptr;
};
