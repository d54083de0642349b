// POSIX only: file ownership, permission bits and links.
#include "foundation/platform/fileaccess.h"

#include "foundation/platform/file.h"

#include <sys/stat.h>
#include <unistd.h>

bool PLAT_SetOwnerFrom(const char *pchPath, const char *pchReferencePath)
{
    if (!pchPath || !pchReferencePath)
        return false;
    struct stat stReference, stPath;
    std::string strPath = PLAT_ResolvePath(pchPath);
    if (stat(PLAT_ResolvePath(pchReferencePath).c_str(), &stReference) != 0 ||
        lstat(strPath.c_str(), &stPath) != 0)
        return false;
    if (stPath.st_uid == stReference.st_uid && stPath.st_gid == stReference.st_gid)
        return true;
    // lchown: a link gets the owner itself; what it points to is not ours to change.
    return lchown(strPath.c_str(), stReference.st_uid, stReference.st_gid) == 0;
}

bool PLAT_SetPermissionBits(const char *pchPath, uint32 unMode)
{
    return pchPath && chmod(PLAT_ResolvePath(pchPath).c_str(), (mode_t)(unMode & 0777)) == 0;
}

bool PLAT_IsLink(const char *pchPath)
{
    struct stat st;
    return pchPath && lstat(PLAT_ResolvePath(pchPath).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
