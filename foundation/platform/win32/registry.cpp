// Windows only: the system registry.
#include "foundation/platform/registry.h"

#include <windows.h>

#include <cstring>

namespace
{
HKEY HiveKey(EPlatRegistryHive eHive)
{
    return eHive == k_EPlatRegistryHiveLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

bool BOpen(EPlatRegistryHive eHive, const char *pchKey, REGSAM samDesired, HKEY *phKey)
{
    return pchKey && RegOpenKeyExA(HiveKey(eHive), pchKey, 0, samDesired, phKey) == ERROR_SUCCESS;
}
} // namespace

bool PLAT_RegistryKeyExists(EPlatRegistryHive eHive, const char *pchKey)
{
    HKEY hKey;
    if (!BOpen(eHive, pchKey, KEY_READ, &hKey))
        return false;
    RegCloseKey(hKey);
    return true;
}

bool PLAT_RegistryCreateKey(EPlatRegistryHive eHive, const char *pchKey)
{
    HKEY hKey;
    if (!pchKey || RegCreateKeyExA(HiveKey(eHive), pchKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey,
                                   nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

bool PLAT_RegistryReadDWORD(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                            uint32 *punValue)
{
    HKEY hKey;
    if (!punValue || !BOpen(eHive, pchKey, KEY_READ, &hKey))
        return false;
    DWORD dwType = 0, dwValue = 0, cubValue = sizeof(dwValue);
    LONG lResult = RegQueryValueExA(hKey, pchValue, nullptr, &dwType, (BYTE *)&dwValue, &cubValue);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS || dwType != REG_DWORD || cubValue != sizeof(dwValue))
        return false;
    *punValue = dwValue;
    return true;
}

bool PLAT_RegistryReadString(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue, char *pchBuf,
                             size_t cubBuf)
{
    HKEY hKey;
    if (!pchBuf || !cubBuf || !BOpen(eHive, pchKey, KEY_READ, &hKey))
        return false;
    DWORD dwType = 0, cubData = 0;
    LONG lResult = RegQueryValueExA(hKey, pchValue, nullptr, &dwType, nullptr, &cubData);
    if (lResult != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
    {
        RegCloseKey(hKey);
        return false;
    }
    char *pchData = new char[cubData + 1];
    lResult = RegQueryValueExA(hKey, pchValue, nullptr, &dwType, (BYTE *)pchData, &cubData);
    RegCloseKey(hKey);
    if (lResult == ERROR_SUCCESS)
    {
        // Stored strings need not carry their terminator.
        pchData[cubData] = '\0';
        size_t cch = strlen(pchData);
        if (cch >= cubBuf)
            cch = cubBuf - 1;
        memcpy(pchBuf, pchData, cch);
        pchBuf[cch] = '\0';
    }
    delete[] pchData;
    return lResult == ERROR_SUCCESS;
}

bool PLAT_RegistryWriteDWORD(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                             uint32 unValue)
{
    HKEY hKey;
    if (!BOpen(eHive, pchKey, KEY_SET_VALUE, &hKey))
        return false;
    DWORD dwValue = unValue;
    LONG lResult = RegSetValueExA(hKey, pchValue, 0, REG_DWORD, (const BYTE *)&dwValue, sizeof(dwValue));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

bool PLAT_RegistryWriteString(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                              const char *pchString)
{
    HKEY hKey;
    if (!BOpen(eHive, pchKey, KEY_SET_VALUE, &hKey))
        return false;
    const char *pch = pchString ? pchString : "";
    LONG lResult = RegSetValueExA(hKey, pchValue, 0, REG_SZ, (const BYTE *)pch, (DWORD)strlen(pch) + 1);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

bool PLAT_RegistryDeleteValue(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue)
{
    HKEY hKey;
    if (!BOpen(eHive, pchKey, KEY_SET_VALUE, &hKey))
        return false;
    LONG lResult = RegDeleteValueA(hKey, pchValue);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}
