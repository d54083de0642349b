// The module loader of the launcher: loads libraries by file name (with or without the
// platform's suffix, ".dll" on Windows and ".so" elsewhere), keeps a table of what it
// loaded with a reference count per module, and looks up exports of a module or of the
// executable itself. Every function may be called from any thread.
#pragma once

#include "foundation/basetypes.h"

typedef void *FerroModule_t;

// Looks for the module in this order, taking the first that loads:
// 1. the name as a path: an absolute one as it is, else joined to the current directory
//    ("%s/%s"), every slash turned into a backslash; its own directory is searched for
//    its dependencies;
// 2. when the path lacks the suffix (compared without regard to case), the path with the
//    suffix appended;
// 3. the bare name (with the suffix appended when missing) in the system's search order.
// A path that would not fit MAX_UNICODE_PATH_IN_UTF8 bytes is skipped rather than cut.
// unFlags: reserved for the platform's load flags; the platform layer takes none today,
// pass 0. Returns the module (its count in the table raised by one), or null.
FerroModule_t LoadModule(const char *pchModuleName, uint32 unFlags);
// Lowers the module's count in the table and drops it at 0; in any case releases the
// module once with the system (also one the table does not know). Null is ignored.
void UnloadModule(FerroModule_t hModule);
// The export of that name, of the module or, for a null module, of the running executable.
void *GetModuleExport(FerroModule_t hModule, const char *pchName);

// The table's reference count of the module; 0 when it is not in the table.
uint32 GetModuleReferenceCount(FerroModule_t hModule);
