// Hints to the system's memory manager.
#pragma once

#include <cstddef>

// The buffer (at least several MiB, fresh) is about to be filled whole, front to back: the
// system may back it with large pages, so that filling it costs a few page faults instead
// of one per small page. Only a hint: nothing changes where the system has no such thing.
void PLAT_AdviseLargeBufferFill(void *pvBuffer, size_t cubBuffer);
