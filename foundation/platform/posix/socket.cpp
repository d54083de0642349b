// POSIX only: BSD sockets, non-blocking and polled.
#include "foundation/platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace
{
// errno onto the Windows numbers. A refused, timed-out or unreachable connect reads as the
// system error Windows reports for it; the rest as the Winsock error of the same meaning.
int MapErrno(int nErrno)
{
    switch (nErrno)
    {
    case 0:
        return k_EPlatSockErrNone;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return k_EPlatSockErrWouldBlock;
    case EINPROGRESS:
        return k_EPlatSockErrInProgress;
    case EALREADY:
        return k_EPlatSockErrAlready;
    case EINTR:
        return k_EPlatSockErrInterrupted;
    case EACCES:
    case EPERM:
        return k_EPlatSockErrAccess;
    case EFAULT:
        return k_EPlatSockErrFault;
    case EINVAL:
        return k_EPlatSockErrInvalid;
    case EMFILE:
    case ENFILE:
        return k_EPlatSockErrTooManyOpen;
    case ENOTSOCK:
    case EBADF:
        return k_EPlatSockErrNotSocket;
    case EMSGSIZE:
        return k_EPlatSockErrMsgSize;
    case EADDRINUSE:
        return k_EPlatSockErrAddrInUse;
    case EADDRNOTAVAIL:
        return k_EPlatSockErrAddrNotAvail;
    case ENETDOWN:
        return k_EPlatSockErrNetDown;
    case ENETUNREACH:
        return k_EPlatSockErrNetUnreachable;
    case ENETRESET:
        return k_EPlatSockErrNetReset;
    case ECONNABORTED:
        return k_EPlatSockErrConnAbortedWSA;
    case ECONNRESET:
    case EPIPE:
        return k_EPlatSockErrConnReset;
    case ENOBUFS:
    case ENOMEM:
        return k_EPlatSockErrNoBufs;
    case EISCONN:
        return k_EPlatSockErrIsConnected;
    case ENOTCONN:
        return k_EPlatSockErrNotConnected;
    case ESHUTDOWN:
        return k_EPlatSockErrShutdown;
    case ETIMEDOUT:
        return k_EPlatSockErrSemTimeout;
    case ECONNREFUSED:
        return k_EPlatSockErrConnRefused;
    case EHOSTDOWN:
        return k_EPlatSockErrHostDown;
    case EHOSTUNREACH:
        return k_EPlatSockErrHostUnreachable;
    default:
        return k_EPlatSockErrUnknown;
    }
}

int LastError()
{
    return MapErrno(errno);
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

bool SetNonBlockingCloseOnExec(int fd)
{
    int nFlags = fcntl(fd, F_GETFL, 0);
    if (nFlags < 0 || fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) < 0)
        return false;
    int nFdFlags = fcntl(fd, F_GETFD, 0);
    return nFdFlags >= 0 && fcntl(fd, F_SETFD, nFdFlags | FD_CLOEXEC) >= 0;
}

int MakeSocket(int *pnError)
{
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
    // Atomically: no child started by another thread inherits the socket in between.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
#else
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#endif
    if (fd < 0)
    {
        *pnError = LastError();
        return -1;
    }
#if !(defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC))
    if (!SetNonBlockingCloseOnExec(fd))
    {
        *pnError = LastError();
        close(fd);
        return -1;
    }
#endif
    return fd;
}
} // namespace

bool PLAT_CreateTCPSocket(PlatSocket_t *pSocket, int *pnError)
{
    *pnError = 0;
    int fd = MakeSocket(pnError);
    if (fd < 0)
        return false;
    *pSocket = fd;
    return true;
}

bool PLAT_BindSocket(PlatSocket_t hSocket, uint32 unIP, uint16 usPort, int *pnError)
{
    sockaddr_in addr = MakeAddress(unIP, usPort);
    if (bind((int)hSocket, (sockaddr *)&addr, sizeof(addr)) != 0)
    {
        *pnError = LastError();
        return false;
    }
    *pnError = 0;
    return true;
}

bool PLAT_ConnectSocket(PlatSocket_t hSocket, uint32 unIP, uint16 usPort, int *pnError)
{
    sockaddr_in addr = MakeAddress(unIP, usPort);
    *pnError = 0;
    if (connect((int)hSocket, (sockaddr *)&addr, sizeof(addr)) == 0)
        return true;
    if (errno == EINPROGRESS || errno == EINTR)
        return true;
    *pnError = LastError();
    return false;
}

void PLAT_CloseSocket(PlatSocket_t hSocket)
{
    if (hSocket != k_PlatSocketInvalid)
        close((int)hSocket);
}

bool PLAT_PollSocket(PlatSocket_t hSocket, uint32 unMilliseconds, PlatSocketPoll_t *pPoll)
{
    memset(pPoll, 0, sizeof(*pPoll));
    pollfd pfd;
    pfd.fd = (int)hSocket;
    pfd.events = POLLIN | POLLOUT;
    pfd.revents = 0;
    int nResult = poll(&pfd, 1, (int)unMilliseconds);
    if (nResult < 0)
    {
        if (errno == EINTR)
            return true;
        pPoll->m_bError = true;
        pPoll->m_nError = LastError();
        return false;
    }
    if (nResult == 0)
        return true;
    if (pfd.revents & (POLLERR | POLLNVAL))
    {
        int nSockError = 0;
        socklen_t cubLen = sizeof(nSockError);
        getsockopt(pfd.fd, SOL_SOCKET, SO_ERROR, &nSockError, &cubLen);
        pPoll->m_bError = true;
        pPoll->m_nError = (pfd.revents & POLLNVAL) ? k_EPlatSockErrNotSocket
                          : nSockError             ? MapErrno(nSockError)
                                                   : k_EPlatSockErrConnReset;
    }
    // A hang-up without an error is the peer's orderly close: reading returns 0 bytes.
    pPoll->m_bReadable = (pfd.revents & (POLLIN | POLLHUP)) != 0;
    pPoll->m_bWritable = (pfd.revents & POLLOUT) != 0;
    return true;
}

EPlatSocketIO PLAT_RecvSocket(PlatSocket_t hSocket, void *pvBuf, uint32 cubBuf, uint32 *pcubRecv,
                              int *pnError)
{
    *pcubRecv = 0;
    *pnError = 0;
    for (;;)
    {
        ssize_t cub = recv((int)hSocket, pvBuf, cubBuf, 0);
        if (cub > 0)
        {
            *pcubRecv = (uint32)cub;
            return k_EPlatSocketIOOK;
        }
        if (cub == 0)
            return k_EPlatSocketIOClosed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return k_EPlatSocketIOWouldBlock;
        *pnError = LastError();
        return k_EPlatSocketIOError;
    }
}

EPlatSocketIO PLAT_SendSocket(PlatSocket_t hSocket, const void *pvData, uint32 cubData, uint32 *pcubSent,
                              int *pnError)
{
    *pcubSent = 0;
    *pnError = 0;
    for (;;)
    {
        ssize_t cub = send((int)hSocket, pvData, cubData, MSG_NOSIGNAL);
        if (cub >= 0)
        {
            *pcubSent = (uint32)cub;
            return k_EPlatSocketIOOK;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return k_EPlatSocketIOWouldBlock;
        *pnError = LastError();
        return k_EPlatSocketIOError;
    }
}

bool PLAT_GetSocketLocalAddress(PlatSocket_t hSocket, uint32 *punIP, uint16 *pusPort)
{
    sockaddr_in addr;
    socklen_t cubLen = sizeof(addr);
    if (getsockname((int)hSocket, (sockaddr *)&addr, &cubLen) != 0 || addr.sin_family != AF_INET)
        return false;
    *punIP = ntohl(addr.sin_addr.s_addr);
    *pusPort = ntohs(addr.sin_port);
    return true;
}

bool PLAT_ListenSocket(uint32 unIP, uint16 usPort, int cBacklog, PlatSocket_t *pSocket, int *pnError)
{
    *pnError = 0;
    int fd = MakeSocket(pnError);
    if (fd < 0)
        return false;
    int nOne = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
    sockaddr_in addr = MakeAddress(unIP, usPort);
    if (bind(fd, (sockaddr *)&addr, sizeof(addr)) != 0 || listen(fd, cBacklog) != 0)
    {
        *pnError = LastError();
        close(fd);
        return false;
    }
    *pSocket = fd;
    return true;
}

bool PLAT_AcceptSocket(PlatSocket_t hListen, PlatSocket_t *pSocket, uint32 *punIP, uint16 *pusPort,
                       int *pnError)
{
    sockaddr_in addr;
    socklen_t cubLen = sizeof(addr);
    int fd = accept((int)hListen, (sockaddr *)&addr, &cubLen);
    if (fd < 0)
    {
        *pnError = LastError();
        return false;
    }
    if (!SetNonBlockingCloseOnExec(fd))
    {
        *pnError = LastError();
        close(fd);
        return false;
    }
    *pnError = 0;
    *pSocket = fd;
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
        *pnError = k_EPlatSockErrHostNotFound;
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
        *pnError = nResult == EAI_AGAIN    ? k_EPlatSockErrTryAgain
                   : nResult == EAI_NODATA ? k_EPlatSockErrNoData
                                           : k_EPlatSockErrHostNotFound;
        if (pResult)
            freeaddrinfo(pResult);
        return false;
    }
    *punIP = ntohl(((sockaddr_in *)pResult->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(pResult);
    return true;
}
