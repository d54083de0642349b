// Reading a whole file into a CUtlBuffer.
#include "foundation/utlbuffer.h"

#include "foundation/dbg.h"
#include "foundation/platform/file.h"

#include <climits>
#include <cstdio>

bool LoadFileIntoBuffer(const char *pchFileName, CUtlBuffer &buf, bool bText)
{
    if (!pchFileName)
    {
        AssertFailed("LoadFileIntoBuffer: NULL parameters");
        return false;
    }
    if (buf.IsReadOnly())
        return false;
    FILE *pFile = PLAT_fopen(pchFileName, "rb");
    if (!pFile)
        return false;
    long cubFile = -1;
    if (fseek(pFile, 0, SEEK_END) == 0)
        cubFile = ftell(pFile);
    if (cubFile < 0 || cubFile >= INT_MAX || fseek(pFile, 0, SEEK_SET) != 0 ||
        !buf.EnsureCapacity((int)cubFile + 1))
    {
        fclose(pFile);
        return false;
    }
    buf.Clear();
    buf.SetBufferType(bText, bText);
    size_t cubRead = cubFile > 0 ? fread(buf.Base(), 1, (size_t)cubFile, pFile) : 0;
    fclose(pFile);
    if (cubRead != (size_t)cubFile)
        return false;
    buf.SeekPut(CUtlBuffer::SEEK_HEAD, (int)cubFile);
    // The NUL after the data, in binary mode too, so the content can be used as a C string.
    ((char *)buf.Base())[cubFile] = 0;
    return true;
}
