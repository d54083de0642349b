// The contract between the launcher and the client libraries it loads from the install
// directory: file and export names, the interface version, the positions of the two
// operations the launcher calls, the status record and the function types. The client
// libraries are built elsewhere; only what is written here is fixed between the two sides.
#pragma once

#include "foundation/basetypes.h"

#define FERRO_CLIENT_LIBRARY "ferro" FERRO_DLL_EXT
#define FERRO_CLIENT_UI_LIBRARY "ferroui" FERRO_DLL_EXT
#define FERRO_CLIENT_CONSOLE_UI_LIBRARY "ferroconsole" FERRO_DLL_EXT

// Export of the client library: the interface factory (FnClientFactory_t).
#define FERRO_CLIENT_FACTORY_EXPORT "_f"
#define FERRO_CLIENT_INTERFACE_VERSION "Ferro006"
// Export of the client UI libraries: the entry point (FnClientEntryPoint_t).
#define FERRO_CLIENT_ENTRY_POINT_EXPORT "FerroDllMainArvoLauncherMode"

// Positions in the table of virtual operations of the "Ferro006" interface, counted from 0.
// The interface has no virtual destructor, so positions are the same under every C++ ABI
// the launcher is built for.
const int k_iClientOperationShutdown = 45;
const int k_iClientOperationStartup = 145;

// Filled by the client library's start-up and shut-down operations.
struct FerroClientStatus_t
{
    int32 m_nErrorCode;          // 0: success
    uint32 m_rgunUnused[2];      // the launcher does not read them
    char m_rgchDescription[256]; // NUL-terminated, at most 256 bytes with the NUL
};

// The exit code that asks for a new launcher (to take an update); the launcher ends with it
// too when it ends without starting the client.
const int32 k_nClientExitRestartLauncher = 7;

// C calling convention, all of them.
typedef void *(*FnClientFactory_t)(const char *pchInterfaceVersion);
// Runs the launcher's frame functions once; true when any of them has more work.
typedef bool (*FnClientFrame_t)();
// Runs the client for as long as it lives; the result is the process's exit code
// (k_nClientExitRestartLauncher asks the launcher to start itself again).
typedef int32 (*FnClientEntryPoint_t)(int32 argc, char **argv, FnClientFrame_t pfnFrame);

// The two operations as the client declares them (member functions of the interface):
//   void Shutdown(FerroClientStatus_t *pStatus);                           // position 45
//   void Startup(FerroClientStatus_t *pStatus, bool bOffline, bool bOnline); // position 145
// Their results, if any, are not used.
