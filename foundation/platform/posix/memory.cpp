// POSIX only: memory hints through madvise.
#include "foundation/platform/memory.h"

#include <cstdint>
#include <sys/mman.h>

void PLAT_AdviseLargeBufferFill(void *pvBuffer, size_t cubBuffer)
{
#ifdef MADV_HUGEPAGE
    // Transparent huge pages (2 MiB) apply to whole, aligned huge pages only: advise the
    // aligned part of the buffer.
    const uintptr_t k_cubHugePage = 2 * 1024 * 1024;
    uintptr_t ulStart = ((uintptr_t)pvBuffer + k_cubHugePage - 1) & ~(k_cubHugePage - 1);
    uintptr_t ulEnd = ((uintptr_t)pvBuffer + cubBuffer) & ~(k_cubHugePage - 1);
    if (pvBuffer && ulEnd > ulStart)
        madvise((void *)ulStart, ulEnd - ulStart, MADV_HUGEPAGE);
#else
    (void)pvBuffer;
    (void)cubBuffer;
#endif
}
