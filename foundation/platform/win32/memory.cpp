// Windows only: memory hints (large pages need a privilege the launcher does not hold, so
// there is nothing to ask for).
#include "foundation/platform/memory.h"

void PLAT_AdviseLargeBufferFill(void *, size_t)
{
}
