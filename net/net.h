// CNet: the process-wide network layer. It hands out connection handles, owns the
// connections, polls their sockets from frame functions and calls the owner of each
// connection back when it connects, receives data or disconnects.
//
// Thread: every call, and every callback, on the main thread (the one that pumps the frame
// functions). Disconnect and destroy requests travel through the "CNet Encrypt" work pool
// and take effect when its completed items are dispatched, on the main thread again.
//
// Ownership: CNet owns the connections. An owner keeps the handle; a handle that no longer
// resolves means the connection is gone, and every operation on it returns false, 0 or the
// empty address. An owner that goes away before its connection clears its callback
// (ClearConnectionCallback), so that nothing reaches it afterwards.
#pragma once

#include "foundation/basetypes.h"
#include "jobs/framefunctionmgr.h"
#include "net/netadr.h"

#include <atomic>

class CWorkThreadPool;
class CNetConnection;
class CTCPConnection;

// A connection handle: never 0, never 0xFFFFFFFF; odd for TCP, even for UDP.
typedef uint32 HNetConnection;
const HNetConnection k_HNetConnectionInvalid = 0;

enum ENetConnectionType
{
    k_ENetConnectionTypeUDP = 0,
    k_ENetConnectionTypeTCP = 1,
};

// Connection flags, given at connect time.
const uint32 k_uNetFlagNoIOCP = 0x1;            // polled socket (required)
const uint32 k_uNetFlagAuthenticate = 0x4;      // authentication through the key callback
const uint32 k_uNetFlagEncrypt = 0x8;           // encryption through the key callback
const uint32 k_uNetFlagRawStream = 0x10;        // raw stream both ways
const uint32 k_uNetFlagRawStreamSend = 0x20;    // raw stream for sending
const uint32 k_uNetFlagUnboundSocket = 0x40;    // no local bind
const uint32 k_uNetFlagRawStreamRecv = 0x80;    // raw stream for receiving
const uint32 k_uNetFlagRawStreamSecure = 0x100; // raw stream both ways (secure connections)

const uint32 k_uNetFlagsRawAny =
    k_uNetFlagRawStream | k_uNetFlagRawStreamSend | k_uNetFlagRawStreamRecv | k_uNetFlagRawStreamSecure;

// Why a connection ended (handed to IConnectionCallback::OnDisconnect and OnConnectFailed).
enum ENetDisconnectReason
{
    k_ENetDisconnectLocal = 1,         // the owner asked for it
    k_ENetDisconnectRecvError = 3,     // a receive failed
    k_ENetDisconnectSocketError = 11,  // the poll saw an error on the socket
    k_ENetDisconnectStreamError = 12,  // the framed stream could not be parsed
    k_ENetDisconnectBacklog = 25,      // too much unsent data for too long
    k_ENetDisconnectSendError = 37,    // a send failed
    k_ENetDisconnectRemoteClosed = 38, // the peer closed the connection
};
const char *NetDisconnectReasonText(int eReason);

// Largest payload of one framed message on receive, and on send.
const int32 k_cubMaxMsgRecv = 0x3000000;
const int32 k_cubMaxMsgNetworkSize = 0x1800060;
// Framed message header: payload length, then this magic ("VT01" on the wire).
const uint32 k_unMsgHeaderMagic = 0x31305456;
const uint32 k_unMsgHeaderMagicObsolete = 0xABBABAAD;
const int32 k_cubMsgHeader = 8;

// The owner of a connection. Slots in this order; all called on the main thread, from the
// frame functions of CNet (or the completion of a disconnect request). An owner may ask
// CNet for anything from inside a callback, including the end of the connection; the
// connection itself stays valid until its destroy request completes.
class IConnectionCallback
{
public:
    virtual ~IConnectionCallback() {}
    virtual void OnConnect(HNetConnection hConnection) = 0;
    virtual void OnConnectFailed(HNetConnection hConnection, int eReason) = 0;
    virtual void OnDisconnect(HNetConnection hConnection, int eReason) = 0;
    // Raw streams: the bytes as they arrived. Framed: one whole message's payload.
    virtual void RecvPkt(HNetConnection hConnection, const void *pvData, uint32 cubData) = 0;
    // Datagram traffic and wake-ups of the message layer; TCP connections never call them.
    virtual void RecvDatagram(HNetConnection hConnection, const void *pvData, uint32 cubData) = 0;
    virtual void OnWakeUp(HNetConnection hConnection) = 0;
};

// Authentication and encryption keys of the message layer; not used by anything here.
class IKeyCallback
{
public:
    virtual ~IKeyCallback() {}
};

// Finds message boundaries in a framed byte stream.
class IStreamParser
{
public:
    virtual ~IStreamParser() {}
    // Looks at the first cubRecv bytes of a message. True with *ppubPayload null: not
    // enough bytes to tell yet. True with *ppubPayload set: the payload of *pcubMsgSize
    // bytes starts there. False: the stream is broken (logged).
    virtual bool BIsValidMsgType(const uint8 *pubData, int32 cubRecv, int32 *pcubMsgSize,
                                 const uint8 **ppubPayload) = 0;
    // Whether the whole message is present: cubAvailable bytes from pubPayload on, of a
    // message of cubMsgSize. *ppubEnd receives the end of the message.
    virtual bool BIsMsgComplete(const uint8 *pubPayload, int32 cubAvailable, int32 cubMsgSize,
                                const uint8 **ppubEnd) = 0;
};

// The framing of non-raw TCP connections: an 8-byte little-endian header (payload length,
// k_unMsgHeaderMagic) and the payload.
class CFerro3StreamParser : public IStreamParser
{
public:
    bool BIsValidMsgType(const uint8 *pubData, int32 cubRecv, int32 *pcubMsgSize,
                         const uint8 **ppubPayload) override;
    bool BIsMsgComplete(const uint8 *pubPayload, int32 cubAvailable, int32 cubMsgSize,
                        const uint8 **ppubEnd) override;
};

// Further options of a connect.
struct NetConnectOptions_t
{
    netadr_t m_adrLocalBind; // port 0: any local address and port
};

class CNet
{
public:
    // Once per process: the work pools "CNet Encrypt" and "CNet Resolver" and the frame
    // functions of the network layer. bClientMode sizes the tables. False (reported) for a
    // missing manager.
    static bool BInit(bool bClientMode, CFrameFunctionMgr *pFrameFunctionMgr);
    // Ends everything: destroys the remaining connections (without callbacks), deregisters
    // the frame functions, stops the pools. The main flow calls it before it cleans up the
    // frame function manager.
    static void Shutdown();

    // Creates a connection and starts a non-blocking connect; the handle, or 0 on failure
    // (reported). The first form frames messages with the process-wide CFerro3StreamParser.
    static HNetConnection AsyncConnect(ENetConnectionType eType, IConnectionCallback *pConnectionCallback,
                                       const netadr_t &adrRemote, uint32 unFlags, IKeyCallback *pKeyCallback);
    static HNetConnection AsyncConnect(ENetConnectionType eType, IConnectionCallback *pConnectionCallback,
                                       const netadr_t &adrRemote, uint32 unFlags, IKeyCallback *pKeyCallback,
                                       const NetConnectOptions_t *pOptions, IStreamParser *pStreamParser);

    // Sends on a connected connection: false when the handle is 0 or gone, the connection
    // is not connected, or the send fails. Data the socket does not take at once is kept
    // and sent, in order, as the socket takes it.
    static bool BAsyncSend(HNetConnection hConnection, const void *pvData, uint32 cubData);

    // Ends the connection after the data already handed to it has gone out; the owner's
    // OnDisconnect follows (k_ENetDisconnectLocal). False when the handle is 0 or gone.
    static bool BAsyncDisconnect(HNetConnection hConnection);
    // Ends it at once, dropping unsent data.
    static bool BImmediateDisconnect(HNetConnection hConnection);
    // Deletes the connection (closing it first if needed, without callbacks) and frees its
    // handle.
    static bool BDestroyConnection(HNetConnection hConnection);

    static bool BConnectionExists(HNetConnection hConnection);
    static bool BIsConnected(HNetConnection hConnection);
    // The peer's address, or the shared empty address when the connection is gone.
    static const netadr_t &GetRemoteAddress(HNetConnection hConnection);
    // The local address the connection's socket is bound to; false when gone or unbound.
    static bool BGetLocalAddress(HNetConnection hConnection, netadr_t *pAdrLocal);
    // Every connection naming pCallback gets an empty callback instead.
    static void ClearConnectionCallback(IConnectionCallback *pCallback);
    // Wakes the connection at a time on the scheduler's clock (Clock_GetMicroseconds).

    // Takes the next handle for a connection of the type.
    static HNetConnection AllocateConnectionHandle(ENetConnectionType eType);
    // Moves the handle counter (an odd value), so tests can reach the wrap-around.
    static void SetNextConnectionHandle(uint32 nHandle) { sm_nNextConnectionHandle = nHandle | 1; }
    static CNetConnection *FindConnection(HNetConnection hConnection);
    static int GetConnectionCount();

    // Settings by name ("@net_backlog_bytes_allowed", ...): text values, numbers read
    // with Q_atoi. Set returns false for an unknown name.
    static bool BSetSetting(const char *pchName, const char *pchValue);
    static const char *GetSetting(const char *pchName);
    static int64 GetSettingInt(const char *pchName);

    // Counters (whole process).
    static int64 GetOutstandingSendsAllConnections();
    static int64 GetOutstandingBytesAllConnections();
    static uint32 GetInvalidHeaderCount();
    static void CountInvalidHeader() { sm_cInvalidHeaders.fetch_add(1); }

    static CWorkThreadPool *GetEncryptPool();
    static CWorkThreadPool *GetResolverPool();
    static IStreamParser *GetDefaultStreamParser();

    // The frame functions. The wake-ups and the hosts have no work in this program (no
    // connection asks to be woken at a time; no datagram layer): registered all the same.
    static bool BFrameHandleCompletedWorkItems(CLimitTimer &limitTimer);
    static bool BFrameFuncPollConnections(CLimitTimer &limitTimer);
    static bool BFrameFuncWakeUpConnections(CLimitTimer &limitTimer);
    static bool BFrameFuncRunHosts(CLimitTimer &limitTimer);

    // What the work items of a connection ask for.
    enum EConnectionWorkItem
    {
        k_EConnectionWorkItemAsyncDisconnect,
        k_EConnectionWorkItemImmediateDisconnect,
        k_EConnectionWorkItemDestroy,
        k_EConnectionWorkItemOnDisconnect,
    };
    // Queues the work item on the "CNet Encrypt" pool; false when the handle is 0 or gone
    // or the pool refused it.
    static bool BQueueConnectionWorkItem(HNetConnection hConnection, EConnectionWorkItem eKind,
                                         int eReason = 0);
    // Runs on the main thread when such an item completes.
    static void OnConnectionWorkItemCompleted(HNetConnection hConnection, EConnectionWorkItem eKind,
                                              int eReason);

private:
    friend class CNetConnection;
    friend class CTCPConnection;

    static void AddToPollList(CNetConnection *pConnection);
    static void RemoveFromPollList(CNetConnection *pConnection);
    static void DeleteConnection(CNetConnection *pConnection);

    // Counters of all connections (atomic: read from any thread).
    static std::atomic<int64> sm_cOutstandingSendsAllConnections;
    static std::atomic<int64> sm_cubOutstandingAllConnections;
    static std::atomic<uint32> sm_cInvalidHeaders;
    static uint32 sm_nNextConnectionHandle;
};

// The TCP layer's global initialisation (the main flow calls it in client mode): CNet's,
// the handle table, and the frame function "CTCPConnection::BFrameFuncRunConnections".
void TCPConnectionGlobalInit(bool bClientMode, CFrameFunctionMgr &frameFunctionMgr);
// Undoes it (CNet::Shutdown and the frame function).
void TCPConnectionGlobalShutdown();
