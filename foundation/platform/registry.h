// The registry: values under a hive and a key path ("Software\\Quill\\Ferro").
//
// Windows: the system registry. POSIX: one KeyValues text file per hive in the registry
// directory ($FERRO_REGISTRY_DIR, else $XDG_CONFIG_HOME/quill, else ~/.config/quill):
// HKCU.txt for the current user and HKLM.txt for the machine. The file's one section is
// named after the hive; each key of the path is a nested section (matched without regard
// to case); each value is a leaf (a DWORD as decimal text, a string as a quoted string).
// Writes take a file lock and replace the file atomically, so two processes never lose
// each other's values. A missing file or key reads as absent. Any thread.
#pragma once

#include "foundation/basetypes.h"

enum EPlatRegistryHive
{
    k_EPlatRegistryHiveCurrentUser,  // HKEY_CURRENT_USER
    k_EPlatRegistryHiveLocalMachine, // HKEY_LOCAL_MACHINE
};

bool PLAT_RegistryKeyExists(EPlatRegistryHive eHive, const char *pchKey);
// Creates the key with all missing parents; true when it exists afterwards.
bool PLAT_RegistryCreateKey(EPlatRegistryHive eHive, const char *pchKey);
// False when the key or value is absent or the value is not a 32-bit number.
bool PLAT_RegistryReadDWORD(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                            uint32 *punValue);
// False when absent; a longer value is cut to fit and terminated.
bool PLAT_RegistryReadString(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue, char *pchBuf,
                             size_t cubBuf);
// Writes into an existing key only (false when the key does not exist).
bool PLAT_RegistryWriteDWORD(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                             uint32 unValue);
bool PLAT_RegistryWriteString(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                              const char *pchString);
bool PLAT_RegistryDeleteValue(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue);
