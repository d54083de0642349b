// Win32 only: Winsock start-up and clean-up.
#include "foundation/platform/sockets_init.h"

#include <winsock2.h>

bool PLAT_StartSockets()
{
    WSADATA wsaData;
    return WSAStartup(MAKEWORD(2, 0), &wsaData) == 0;
}

void PLAT_StopSockets()
{
    WSACleanup();
}
