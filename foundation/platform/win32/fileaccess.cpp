// Windows only: file ownership through the security API, and reparse points.
#include "foundation/platform/fileaccess.h"

#include "foundation/platform/win32/widepath.h"

#include <mutex>
#include <windows.h>

#include <aclapi.h>

namespace
{
// Making someone else the owner needs the restore privilege, which an administrator holds
// but which is not enabled by default. Enabled once per process; a process without it
// keeps failing on the owner change itself.
void EnableRestorePrivilege()
{
    static std::once_flag s_Once;
    std::call_once(
        s_Once,
        []()
        {
            HANDLE hToken = nullptr;
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken))
                return;
            TOKEN_PRIVILEGES privileges = {};
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            if (LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &privileges.Privileges[0].Luid))
                AdjustTokenPrivileges(hToken, FALSE, &privileges, 0, nullptr, nullptr);
            CloseHandle(hToken);
        });
}

// The owner of a file or directory; the descriptor that holds it is freed by the caller
// with LocalFree.
bool BGetOwner(const std::wstring &wstrPath, PSID *ppsidOwner, PSECURITY_DESCRIPTOR *ppDescriptor)
{
    *ppsidOwner = nullptr;
    *ppDescriptor = nullptr;
    DWORD dwResult = GetNamedSecurityInfoW(wstrPath.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                           ppsidOwner, nullptr, nullptr, nullptr, ppDescriptor);
    return dwResult == ERROR_SUCCESS && *ppsidOwner;
}
} // namespace

bool PLAT_SetOwnerFrom(const char *pchPath, const char *pchReferencePath)
{
    std::wstring wstrPath, wstrReference;
    if (!pchPath || !pchReferencePath || !BPathToWide(pchPath, &wstrPath) ||
        !BPathToWide(pchReferencePath, &wstrReference))
        return false;

    PSID psidOwner = nullptr, psidCurrent = nullptr;
    PSECURITY_DESCRIPTOR pReferenceDescriptor = nullptr, pPathDescriptor = nullptr;
    bool bOk = BGetOwner(wstrReference, &psidOwner, &pReferenceDescriptor);
    if (bOk && BGetOwner(wstrPath, &psidCurrent, &pPathDescriptor) && EqualSid(psidCurrent, psidOwner))
    {
        // Already owned by the right account: nothing to change, nothing to need rights for.
    }
    else if (bOk)
    {
        EnableRestorePrivilege();
        // The API takes the name as a writable string.
        std::wstring wstrTarget = wstrPath;
        bOk = SetNamedSecurityInfoW(&wstrTarget[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, psidOwner,
                                    nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    if (pPathDescriptor)
        LocalFree(pPathDescriptor);
    if (pReferenceDescriptor)
        LocalFree(pReferenceDescriptor);
    return bOk;
}

bool PLAT_SetPermissionBits(const char *pchPath, uint32)
{
    // Windows files carry attributes and access lists, not mode bits.
    return pchPath != nullptr;
}

bool PLAT_IsLink(const char *pchPath)
{
    std::wstring wstrPath;
    if (!pchPath || !BPathToWide(pchPath, &wstrPath))
        return false;
    DWORD dwAttributes = GetFileAttributesW(wstrPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
