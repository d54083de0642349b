// Win32 only: Winsock 2 sockets, non-blocking and polled with select.
#include "foundation/platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace
{
// Winsock's own numbers are kept; a connect that was refused, timed out or found no route
// reads as the system error Windows reports for it through completion, as the log lines
// of the network layer expect.
int MapConnectError(int nError)
{
    switch (nError)
    {
    case WSAECONNREFUSED:
        return k_EPlatSockErrConnRefused;
    case WSAETIMEDOUT:
        return k_EPlatSockErrSemTimeout;
    case WSAEHOSTUNREACH:
        return k_EPlatSockErrHostUnreachable;
    case WSAENETUNREACH:
        return k_EPlatSockErrNetUnreachable;
    default:
        return nError;
    }
}

sockaddr_in MakeAddress(uint32 unIP, uint16 usPort)
{
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(unIP);
    addr.sin_port = htons(usPort);
    return addr;
}

SOCKET MakeSocket(int *pnError)
{
    // WSA_FLAG_NO_HANDLE_INHERIT keeps the socket out of processes the launcher starts.
    SOCKET s =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0x80 /* WSA_FLAG_NO_HANDLE_INHERIT */);
    if (s == INVALID_SOCKET)
    {
        // Systems before Windows 7 SP1 do not know the flag.
        s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
        if (s == INVALID_SOCKET)
        {
            *pnError = WSAGetLastError();
            return INVALID_SOCKET;
        }
        SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
    }
    u_long ulNonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &ulNonBlocking) != 0)
    {
        *pnError = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}
} // namespace

bool PLAT_CreateTCPSocket(PlatSocket_t *pSocket, int *pnError)
{
    *pnError = 0;
    SOCKET s = MakeSocket(pnError);
    if (s == INVALID_SOCKET)
        return false;
    *pSocket = (PlatSocket_t)s;
    return true;
}

bool PLAT_BindSocket(PlatSocket_t hSocket, uint32 unIP, uint16 usPort, int *pnError)
{
    sockaddr_in addr = MakeAddress(unIP, usPort);
    if (bind((SOCKET)hSocket, (sockaddr *)&addr, sizeof(addr)) != 0)
    {
        *pnError = WSAGetLastError();
        return false;
    }
    *pnError = 0;
    return true;
}

bool PLAT_ConnectSocket(PlatSocket_t hSocket, uint32 unIP, uint16 usPort, int *pnError)
{
    sockaddr_in addr = MakeAddress(unIP, usPort);
    *pnError = 0;
    if (connect((SOCKET)hSocket, (sockaddr *)&addr, sizeof(addr)) == 0)
        return true;
    int nError = WSAGetLastError();
    if (nError == WSAEWOULDBLOCK || nError == WSAEINPROGRESS)
        return true;
    *pnError = MapConnectError(nError);
    return false;
}

void PLAT_CloseSocket(PlatSocket_t hSocket)
{
    if (hSocket != k_PlatSocketInvalid)
        closesocket((SOCKET)hSocket);
}

bool PLAT_PollSocket(PlatSocket_t hSocket, uint32 unMilliseconds, PlatSocketPoll_t *pPoll)
{
    memset(pPoll, 0, sizeof(*pPoll));
    SOCKET s = (SOCKET)hSocket;
    fd_set setRead, setWrite, setExcept;
    FD_ZERO(&setRead);
    FD_ZERO(&setWrite);
    FD_ZERO(&setExcept);
    FD_SET(s, &setRead);
    FD_SET(s, &setWrite);
    FD_SET(s, &setExcept);
    timeval tv;
    tv.tv_sec = (long)(unMilliseconds / 1000);
    tv.tv_usec = (long)((unMilliseconds % 1000) * 1000);
    int nResult = select(0, &setRead, &setWrite, &setExcept, &tv);
    if (nResult == SOCKET_ERROR)
    {
        pPoll->m_bError = true;
        pPoll->m_nError = WSAGetLastError();
        return false;
    }
    if (FD_ISSET(s, &setExcept))
    {
        // A failed connect shows here; its reason is the socket's pending error.
        int nSockError = 0;
        int cubLen = sizeof(nSockError);
        getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&nSockError, &cubLen);
        pPoll->m_bError = true;
        pPoll->m_nError = nSockError ? MapConnectError(nSockError) : WSAECONNRESET;
    }
    pPoll->m_bReadable = FD_ISSET(s, &setRead) != 0;
    pPoll->m_bWritable = FD_ISSET(s, &setWrite) != 0;
    return true;
}

EPlatSocketIO PLAT_RecvSocket(PlatSocket_t hSocket, void *pvBuf, uint32 cubBuf, uint32 *pcubRecv,
                              int *pnError)
{
    *pcubRecv = 0;
    *pnError = 0;
    int cub = recv((SOCKET)hSocket, (char *)pvBuf, (int)cubBuf, 0);
    if (cub > 0)
    {
        *pcubRecv = (uint32)cub;
        return k_EPlatSocketIOOK;
    }
    if (cub == 0)
        return k_EPlatSocketIOClosed;
    int nError = WSAGetLastError();
    if (nError == WSAEWOULDBLOCK)
        return k_EPlatSocketIOWouldBlock;
    *pnError = nError;
    return k_EPlatSocketIOError;
}

EPlatSocketIO PLAT_SendSocket(PlatSocket_t hSocket, const void *pvData, uint32 cubData, uint32 *pcubSent,
                              int *pnError)
{
    *pcubSent = 0;
    *pnError = 0;
    int cub = send((SOCKET)hSocket, (const char *)pvData, (int)cubData, 0);
    if (cub >= 0)
    {
        *pcubSent = (uint32)cub;
        return k_EPlatSocketIOOK;
    }
    int nError = WSAGetLastError();
    if (nError == WSAEWOULDBLOCK)
        return k_EPlatSocketIOWouldBlock;
    *pnError = nError;
    return k_EPlatSocketIOError;
}

bool PLAT_GetSocketLocalAddress(PlatSocket_t hSocket, uint32 *punIP, uint16 *pusPort)
{
    sockaddr_in addr;
    int cubLen = sizeof(addr);
    if (getsockname((SOCKET)hSocket, (sockaddr *)&addr, &cubLen) != 0 || addr.sin_family != AF_INET)
        return false;
    *punIP = ntohl(addr.sin_addr.s_addr);
    *pusPort = ntohs(addr.sin_port);
    return true;
}

bool PLAT_ListenSocket(uint32 unIP, uint16 usPort, int cBacklog, PlatSocket_t *pSocket, int *pnError)
{
    *pnError = 0;
    SOCKET s = MakeSocket(pnError);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in addr = MakeAddress(unIP, usPort);
    if (bind(s, (sockaddr *)&addr, sizeof(addr)) != 0 || listen(s, cBacklog) != 0)
    {
        *pnError = WSAGetLastError();
        closesocket(s);
        return false;
    }
    *pSocket = (PlatSocket_t)s;
    return true;
}

bool PLAT_AcceptSocket(PlatSocket_t hListen, PlatSocket_t *pSocket, uint32 *punIP, uint16 *pusPort,
                       int *pnError)
{
    sockaddr_in addr;
    int cubLen = sizeof(addr);
    SOCKET s = accept((SOCKET)hListen, (sockaddr *)&addr, &cubLen);
    if (s == INVALID_SOCKET)
    {
        *pnError = WSAGetLastError();
        return false;
    }
    u_long ulNonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &ulNonBlocking) != 0)
    {
        *pnError = WSAGetLastError();
        closesocket(s);
        return false;
    }
    SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
    *pnError = 0;
    *pSocket = (PlatSocket_t)s;
    if (punIP)
        *punIP = ntohl(addr.sin_addr.s_addr);
    if (pusPort)
        *pusPort = ntohs(addr.sin_port);
    return true;
}

bool PLAT_ResolveHostIPv4(const char *pchHostName, uint32 *punIP, int *pnError)
{
    *pnError = 0;
    *punIP = 0;
    if (!pchHostName || !*pchHostName)
    {
        *pnError = WSAHOST_NOT_FOUND;
        return false;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *pResult = nullptr;
    int nResult = getaddrinfo(pchHostName, nullptr, &hints, &pResult);
    if (nResult != 0 || !pResult)
    {
        *pnError = nResult ? nResult : WSAHOST_NOT_FOUND;
        if (pResult)
            freeaddrinfo(pResult);
        return false;
    }
    *punIP = ntohl(((sockaddr_in *)pResult->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(pResult);
    return true;
}
