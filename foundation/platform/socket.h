// TCP sockets over IPv4, as the network layer uses them: every socket is non-blocking and
// polled with a zero (or short) wait, never waited on inside the system's calls. Addresses
// and ports are in host byte order (127.0.0.1 is 0x7F000001).
//
// Error codes are the numbers Windows uses, on every platform (the POSIX implementation
// maps errno onto them), so that log lines read the same everywhere (common/neterror.h
// names them).
//
// A socket is used by one thread at a time. Name resolution blocks and belongs on a work
// thread.
#pragma once

#include "foundation/basetypes.h"

typedef int64 PlatSocket_t;
const PlatSocket_t k_PlatSocketInvalid = -1;

// Error codes (Windows numbering).
enum EPlatSocketError
{
    k_EPlatSockErrNone = 0,
    k_EPlatSockErrNetNameDeleted = 64,    // ERROR_NETNAME_DELETED
    k_EPlatSockErrSemTimeout = 121,       // ERROR_SEM_TIMEOUT: a connect that timed out
    k_EPlatSockErrConnRefused = 1225,     // ERROR_CONNECTION_REFUSED: a connect that was refused
    k_EPlatSockErrNetUnreachable = 1231,  // ERROR_NETWORK_UNREACHABLE
    k_EPlatSockErrHostUnreachable = 1232, // ERROR_HOST_UNREACHABLE
    k_EPlatSockErrConnAborted = 1236,     // ERROR_CONNECTION_ABORTED
    k_EPlatSockErrInterrupted = 10004,    // WSAEINTR
    k_EPlatSockErrAccess = 10013,         // WSAEACCES
    k_EPlatSockErrFault = 10014,          // WSAEFAULT
    k_EPlatSockErrInvalid = 10022,        // WSAEINVAL
    k_EPlatSockErrTooManyOpen = 10024,    // WSAEMFILE
    k_EPlatSockErrWouldBlock = 10035,     // WSAEWOULDBLOCK
    k_EPlatSockErrInProgress = 10036,     // WSAEINPROGRESS
    k_EPlatSockErrAlready = 10037,        // WSAEALREADY
    k_EPlatSockErrNotSocket = 10038,      // WSAENOTSOCK
    k_EPlatSockErrMsgSize = 10040,        // WSAEMSGSIZE
    k_EPlatSockErrAddrInUse = 10048,      // WSAEADDRINUSE
    k_EPlatSockErrAddrNotAvail = 10049,   // WSAEADDRNOTAVAIL
    k_EPlatSockErrNetDown = 10050,        // WSAENETDOWN
    k_EPlatSockErrNetReset = 10052,       // WSAENETRESET
    k_EPlatSockErrConnAbortedWSA = 10053, // WSAECONNABORTED
    k_EPlatSockErrConnReset = 10054,      // WSAECONNRESET
    k_EPlatSockErrNoBufs = 10055,         // WSAENOBUFS
    k_EPlatSockErrIsConnected = 10056,    // WSAEISCONN
    k_EPlatSockErrNotConnected = 10057,   // WSAENOTCONN
    k_EPlatSockErrShutdown = 10058,       // WSAESHUTDOWN
    k_EPlatSockErrNetUnreachWSA = 10051,  // WSAENETUNREACH
    k_EPlatSockErrTimedOut = 10060,       // WSAETIMEDOUT
    k_EPlatSockErrConnRefusedWSA = 10061, // WSAECONNREFUSED
    k_EPlatSockErrHostDown = 10064,       // WSAEHOSTDOWN
    k_EPlatSockErrHostUnreachWSA = 10065, // WSAEHOSTUNREACH
    k_EPlatSockErrHostNotFound = 11001,   // WSAHOST_NOT_FOUND
    k_EPlatSockErrTryAgain = 11002,       // WSATRY_AGAIN
    k_EPlatSockErrNoData = 11004,         // WSANO_DATA
    k_EPlatSockErrUnknown = 0x7FFFFFFF,   // anything without a counterpart
};

// A TCP socket, non-blocking, not inherited by child processes. False with *pnError set
// when it cannot be made.
bool PLAT_CreateTCPSocket(PlatSocket_t *pSocket, int *pnError);
// Binds to a local address (0: any) and port (0: any free one).
bool PLAT_BindSocket(PlatSocket_t hSocket, uint32 unIP, uint16 usPort, int *pnError);
// Starts a connect. True when it completed or is under way (the socket turns writable
// when connected, or reports an error when it fails).
bool PLAT_ConnectSocket(PlatSocket_t hSocket, uint32 unIP, uint16 usPort, int *pnError);
void PLAT_CloseSocket(PlatSocket_t hSocket);

// The socket's state, looked at without waiting longer than unMilliseconds (0: not at
// all). A peer that closed makes the socket readable (a receive then returns 0 bytes).
// *pnError is the pending error when pbError is set.
struct PlatSocketPoll_t
{
    bool m_bReadable;
    bool m_bWritable;
    bool m_bError;
    int m_nError;
};
bool PLAT_PollSocket(PlatSocket_t hSocket, uint32 unMilliseconds, PlatSocketPoll_t *pPoll);

enum EPlatSocketIO
{
    k_EPlatSocketIOOK = 0,         // *pcub bytes were moved (a receive: at least 1)
    k_EPlatSocketIOWouldBlock = 1, // nothing can be moved now
    k_EPlatSocketIOClosed = 2,     // receive: the peer closed its side (0 bytes)
    k_EPlatSocketIOError = 3,      // *pnError says why
};
// Receives at most cubBuf bytes.
EPlatSocketIO PLAT_RecvSocket(PlatSocket_t hSocket, void *pvBuf, uint32 cubBuf, uint32 *pcubRecv,
                              int *pnError);
// Sends what the socket takes now of cubData bytes (possibly a part). Never raises a
// signal when the peer has gone.
EPlatSocketIO PLAT_SendSocket(PlatSocket_t hSocket, const void *pvData, uint32 cubData, uint32 *pcubSent,
                              int *pnError);

// The address and port the socket is bound to.
bool PLAT_GetSocketLocalAddress(PlatSocket_t hSocket, uint32 *punIP, uint16 *pusPort);

// Listening, for local peers in tests and tools: a non-blocking listening socket on the
// address and port (0: a free one), and a non-blocking accept (false with *pnError
// k_EPlatSockErrWouldBlock when nobody is waiting).
bool PLAT_ListenSocket(uint32 unIP, uint16 usPort, int cBacklog, PlatSocket_t *pSocket, int *pnError);
bool PLAT_AcceptSocket(PlatSocket_t hListen, PlatSocket_t *pSocket, uint32 *punIP, uint16 *pusPort,
                       int *pnError);

// Blocking name resolution to the first IPv4 address of the host (a dotted quad is taken as
// it is). False with *pnError set when the name does not resolve.
bool PLAT_ResolveHostIPv4(const char *pchHostName, uint32 *punIP, int *pnError);
