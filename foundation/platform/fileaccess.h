// Who owns a file, what its permission bits are, and whether a path is a link.
//
// Paths follow the rules of foundation/platform/file.h (both separators; on POSIX the
// letter case of an existing entry is found as Windows would). Every function may be
// called from any thread.
#pragma once

#include "foundation/basetypes.h"

// Gives the path the owner of the reference path: on POSIX its user and group, on Windows
// the owner in its security descriptor (which needs the rights of an administrator unless
// the owner is the caller). True when the path has that owner afterwards, also when it had
// it already.
bool PLAT_SetOwnerFrom(const char *pchPath, const char *pchReferencePath);

// Applies the permission bits of a POSIX mode (0777 and below) to a file. Windows keeps no
// such bits: there it does nothing and succeeds.
bool PLAT_SetPermissionBits(const char *pchPath, uint32 unMode);

// Whether the path itself is a symbolic link (POSIX) or a reparse point such as a junction
// (Windows), without following it. False when it does not exist.
bool PLAT_IsLink(const char *pchPath);
