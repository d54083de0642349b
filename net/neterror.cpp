#include "net/neterror.h"

#include "foundation/basetypes.h"
#include "foundation/platform/socket.h"

namespace
{
struct NetErrorName_t
{
    int m_nError;
    const char *m_pchName;
};

const NetErrorName_t k_rgNetErrorNames[] = {
    {k_EPlatSockErrNone, "NO_ERROR"},
    {k_EPlatSockErrNetNameDeleted, "ERROR_NETNAME_DELETED"},
    {k_EPlatSockErrSemTimeout, "ERROR_SEM_TIMEOUT"},
    {k_EPlatSockErrConnRefused, "ERROR_CONNECTION_REFUSED"},
    {k_EPlatSockErrNetUnreachable, "ERROR_NETWORK_UNREACHABLE"},
    {k_EPlatSockErrHostUnreachable, "ERROR_HOST_UNREACHABLE"},
    {k_EPlatSockErrConnAborted, "ERROR_CONNECTION_ABORTED"},
    {k_EPlatSockErrInterrupted, "WSAEINTR"},
    {k_EPlatSockErrAccess, "WSAEACCES"},
    {k_EPlatSockErrFault, "WSAEFAULT"},
    {k_EPlatSockErrInvalid, "WSAEINVAL"},
    {k_EPlatSockErrTooManyOpen, "WSAEMFILE"},
    {k_EPlatSockErrWouldBlock, "WSAEWOULDBLOCK"},
    {k_EPlatSockErrInProgress, "WSAEINPROGRESS"},
    {k_EPlatSockErrAlready, "WSAEALREADY"},
    {k_EPlatSockErrNotSocket, "WSAENOTSOCK"},
    {k_EPlatSockErrMsgSize, "WSAEMSGSIZE"},
    {k_EPlatSockErrAddrInUse, "WSAEADDRINUSE"},
    {k_EPlatSockErrAddrNotAvail, "WSAEADDRNOTAVAIL"},
    {k_EPlatSockErrNetDown, "WSAENETDOWN"},
    {k_EPlatSockErrNetReset, "WSAENETRESET"},
    {k_EPlatSockErrConnAbortedWSA, "WSAECONNABORTED"},
    {k_EPlatSockErrConnReset, "WSACONNRESET"},
    {k_EPlatSockErrNoBufs, "WSAENOBUFS"},
    {k_EPlatSockErrIsConnected, "WSAEISCONN"},
    {k_EPlatSockErrNotConnected, "WSAENOTCONN"},
    {k_EPlatSockErrShutdown, "WSAESHUTDOWN"},
    {k_EPlatSockErrNetUnreachWSA, "WSAENETUNREACH"},
    {k_EPlatSockErrTimedOut, "WSAETIMEDOUT"},
    {k_EPlatSockErrConnRefusedWSA, "WSAECONNREFUSED"},
    {k_EPlatSockErrHostDown, "WSAEHOSTDOWN"},
    {k_EPlatSockErrHostUnreachWSA, "WSAEHOSTUNREACH"},
    {k_EPlatSockErrHostNotFound, "WSAHOST_NOT_FOUND"},
    {k_EPlatSockErrTryAgain, "WSATRY_AGAIN"},
    {k_EPlatSockErrNoData, "WSANO_DATA"},
};
} // namespace

const char *NetErrorName(int nError)
{
    for (const NetErrorName_t &entry : k_rgNetErrorNames)
    {
        if (entry.m_nError == nError)
            return entry.m_pchName;
    }
    return "[no name available]";
}
