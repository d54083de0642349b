#include "net/tcpconnection.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"
#include "net/neterror.h"
#include "net/receiveratelimit.h"

#include <cstdlib>
#include <cstring>

namespace
{
// Ports tried above a requested bind port that is taken.
const uint32 k_cBindPortsToTry = 32;

// Resets and aborts caused by the peer are the normal ways a connection ends.
bool BIsNormalDisconnectError(int nError)
{
    return nError == k_EPlatSockErrConnReset || nError == k_EPlatSockErrConnAbortedWSA ||
           nError == k_EPlatSockErrConnAborted || nError == k_EPlatSockErrNetNameDeleted;
}
} // namespace

CTCPConnection::CTCPConnection(HNetConnection hConnection, IConnectionCallback *pConnectionCallback,
                               uint32 unFlags, IStreamParser *pStreamParser)
    : CNetConnection(hConnection, pConnectionCallback, unFlags, pStreamParser),
      m_hSocket(k_PlatSocketInvalid), m_pubRecvBuffer(nullptr), m_cubRecvBuffer(0), m_cubRecvBufferUsed(0),
      m_pubMsgIncoming(nullptr), m_cubMsgIncomingAlloc(0), m_cubMsgIncomingRecv(0), m_pSendBuffer(nullptr),
      m_cOutstandingSends(0), m_cubOutstanding(0), m_ulBacklogStart(0), m_ulSendStalledSince(0),
      m_bReportedZeroByteRecv(false), m_bReportedStall(false), m_ulClosingSince(0)
{
    AddToPollList();
}

CTCPConnection::~CTCPConnection()
{
    CloseSocket();
    FreeSendQueue();
    free(m_pubRecvBuffer);
    free(m_pubMsgIncoming);
}

bool CTCPConnection::BRawRecv() const
{
    return (m_unFlags & (k_uNetFlagRawStream | k_uNetFlagRawStreamRecv | k_uNetFlagRawStreamSecure)) != 0;
}

bool CTCPConnection::BRawSend() const
{
    return (m_unFlags & (k_uNetFlagRawStream | k_uNetFlagRawStreamSend | k_uNetFlagRawStreamSecure)) != 0;
}

bool CTCPConnection::BConnect(const netadr_t &adrRemote, const netadr_t &adrLocalBind)
{
    if (m_EConnectionState != k_EConnectionStateUnconnected)
    {
        AssertMsg(false, "k_EConnectionStateUnconnected == m_EConnectionState");
        return false;
    }
    m_adrRemote = adrRemote;
    m_adrLocalBind = adrLocalBind;
    m_unFlags |= k_uNetFlagNoIOCP;
    if (!BCreateBoundSocket())
        return false;

    m_EConnectionState = k_EConnectionStateConnecting;
    int nError;
    if (!PLAT_ConnectSocket(m_hSocket, adrRemote.GetIP(), adrRemote.GetPort(), &nError))
    {
        LogDisconnect("connect", nError, false);
        CloseSocket();
        m_EConnectionState = k_EConnectionStateUnconnected;
        return false;
    }
    return true;
}

bool CTCPConnection::BCreateBoundSocket()
{
    int nError;
    if (!PLAT_CreateTCPSocket(&m_hSocket, &nError))
    {
        m_hSocket = k_PlatSocketInvalid;
        DMsg("net", 1, "CreateBoundSocket: failed to create socket, error %s(%d)\n", NetErrorName(nError),
             nError);
        return false;
    }
    if (m_unFlags & k_uNetFlagUnboundSocket)
        return true;

    // Port 0 takes any free port on any address; a given port is tried first, then the
    // ports above it.
    uint32 unIP = m_adrLocalBind.GetPort() ? m_adrLocalBind.GetIP() : 0;
    uint32 unFirstPort = m_adrLocalBind.GetPort();
    uint32 unLastPort = unFirstPort ? unFirstPort + k_cBindPortsToTry - 1 : 0;
    if (unLastPort > 65535)
        unLastPort = 65535;
    for (uint32 unPort = unFirstPort; unPort <= unLastPort; ++unPort)
    {
        if (PLAT_BindSocket(m_hSocket, unIP, (uint16)unPort, &nError))
            return true;
        if (nError != k_EPlatSockErrAddrInUse)
        {
            DMsg("net", 1, "CreateBoundSocket: ::bind returned error %s(%d)\n", NetErrorName(nError), nError);
            CloseSocket();
            return false;
        }
    }
    DMsg("net", 1, "CreateBoundSocket: ::bind couldn't find an open port between %u and %u\n", unFirstPort,
         unLastPort);
    CloseSocket();
    return false;
}

void CTCPConnection::CloseSocket()
{
    if (m_hSocket != k_PlatSocketInvalid)
    {
        PLAT_CloseSocket(m_hSocket);
        m_hSocket = k_PlatSocketInvalid;
        RemoveFromPollList();
    }
}

bool CTCPConnection::BPollConnection()
{
    bool bReceived = false;
    for (int nRound = 0; nRound < k_cMaxPollRounds; ++nRound)
    {
        if (m_hSocket == k_PlatSocketInvalid)
            return bReceived;
        PlatSocketPoll_t poll;
        PLAT_PollSocket(m_hSocket, 0, &poll);

        if (poll.m_bError)
        {
            LogDisconnect(m_EConnectionState == k_EConnectionStateConnecting ? "connect" : "select",
                          poll.m_nError, false);
            Disconnect(k_ENetDisconnectSocketError, k_ENotifyOwnerNow);
            return bReceived;
        }

        bool bReadAgain = false;
        uint64 cubAllowed = 0;
        if (m_EConnectionState == k_EConnectionStateConnecting)
        {
            if (poll.m_bWritable)
            {
                m_EConnectionState = k_EConnectionStateConnected;
                m_ulBacklogStart = Clock_GetMicroseconds();
                m_pConnectionCallback->OnConnect(m_hConnection);
            }
        }
        else if ((m_EConnectionState == k_EConnectionStateConnected ||
                  m_EConnectionState == k_EConnectionStateClosing) &&
                 poll.m_bReadable && (cubAllowed = NetReceiveAllowance()) > 0)
        {
            if (!BReceiveFromSocket(cubAllowed, &bReceived, &bReadAgain))
                return bReceived;
        }

        // Queued data goes out as the socket takes it.
        if (m_hSocket != k_PlatSocketInvalid && poll.m_bWritable && !m_dequeSendBuffers.empty())
        {
            if (!BFlushSendQueue(false))
                return bReceived;
        }
        if (m_EConnectionState == k_EConnectionStateClosing &&
            (m_dequeSendBuffers.empty() || Clock_GetMicroseconds() - m_ulClosingSince >= k_usMaxClosingTime))
        {
            Disconnect(k_ENetDisconnectLocal, k_ENotifyOwnerNow);
            return bReceived;
        }
        if (!bReadAgain)
            break;
    }
    return bReceived;
}

bool CTCPConnection::BReceiveFromSocket(uint64 cubAllowed, bool *pbReceived, bool *pbReadAgain)
{
    if (!m_pubRecvBuffer)
    {
        m_pubRecvBuffer = (uint8 *)malloc(k_cubRecvBuffer);
        m_cubRecvBuffer = m_pubRecvBuffer ? k_cubRecvBuffer : 0;
        m_cubRecvBufferUsed = 0;
    }
    uint32 cubFree = m_cubRecvBuffer - m_cubRecvBufferUsed;
    // The process's receive limit: what is not read now waits in the socket.
    if (cubAllowed < cubFree)
        cubFree = (uint32)cubAllowed;
    uint32 cubRecv = 0;
    int nError = 0;
    EPlatSocketIO eResult =
        PLAT_RecvSocket(m_hSocket, m_pubRecvBuffer + m_cubRecvBufferUsed, cubFree, &cubRecv, &nError);
    if (eResult == k_EPlatSocketIOError)
    {
        LogDisconnect("recv", nError, false);
        Disconnect(k_ENetDisconnectRecvError, k_ENotifyOwnerNow);
        return false;
    }
    if (eResult == k_EPlatSocketIOClosed)
    {
        DMsg("net", 3, "Disconnecting connection because ::recv() returned zero bytes\n");
        if (!m_bReportedZeroByteRecv)
        {
            m_bReportedZeroByteRecv = true;
            Disconnect(k_ENetDisconnectRemoteClosed, k_ENotifyOwnerNow);
        }
        return false;
    }
    if (eResult == k_EPlatSocketIOOK)
    {
        NetConsumeReceiveAllowance(cubRecv);
        *pbReceived = true;
        if (!BOnDataArrived(m_pubRecvBuffer + m_cubRecvBufferUsed, cubRecv))
            return false;
        // A full read suggests that more is waiting.
        *pbReadAgain = cubRecv == cubFree;
    }
    return true;
}

bool CTCPConnection::BOnDataArrived(const uint8 *pubData, uint32 cubData)
{
    if (cubData == 0)
    {
        DMsg("net", 2, "Disconnecting connection OnDataArrived() returned zero bytes\n");
        Disconnect(k_ENetDisconnectRemoteClosed, k_ENotifyOwnerNow);
        return false;
    }
    if (BRawRecv())
    {
        NotifyOwnerOfRecv(pubData, cubData);
        return m_hSocket != k_PlatSocketInvalid;
    }
    return BAppendToIncomingMessage(pubData, cubData);
}

void CTCPConnection::NotifyOwnerOfRecv(const uint8 *pubData, uint32 cubData)
{
    // "CTCPConnection::NotifyOwnerOfRecv"
    m_pConnectionCallback->RecvPkt(m_hConnection, pubData, cubData);
}

bool CTCPConnection::BAppendToIncomingMessage(const uint8 *pubData, uint32 cubData)
{
    // "CTCPConnection::AppendToIncomingMessage": append, then hand out every whole message.
    int64 cubNeeded = (int64)m_cubMsgIncomingRecv + cubData;
    if (cubNeeded > m_cubMsgIncomingAlloc && !BGrowIncomingMessage(cubNeeded))
    {
        // clang-format off
        DMsg("net", 1,
             "About to overflow TCP msg buffer after failing to determine cubMsgSizeMax.  Disconnecting.\n");
        // clang-format on
        Disconnect(k_ENetDisconnectStreamError, k_ENotifyOwnerNow);
        return false;
    }
    memcpy(m_pubMsgIncoming + m_cubMsgIncomingRecv, pubData, cubData);
    m_cubMsgIncomingRecv += (int32)cubData;

    int32 iOffset = 0;
    bool bConnected = BDeliverWholeMessages(&iOffset);
    if (!bConnected)
        return false;
    if (iOffset > 0)
    {
        memmove(m_pubMsgIncoming, m_pubMsgIncoming + iOffset, (size_t)(m_cubMsgIncomingRecv - iOffset));
        m_cubMsgIncomingRecv -= iOffset;
    }
    return true;
}

bool CTCPConnection::BGrowIncomingMessage(int64 cubNeeded)
{
    if (cubNeeded > (int64)k_cubMaxMsgRecv + k_cubMsgHeader + k_cubRecvBuffer)
        return false;
    int64 cubAlloc = m_cubMsgIncomingAlloc ? (int64)m_cubMsgIncomingAlloc * 2 : 4096;
    if (cubAlloc < cubNeeded)
        cubAlloc = cubNeeded;
    uint8 *pubNew = (uint8 *)realloc(m_pubMsgIncoming, (size_t)cubAlloc);
    if (!pubNew)
        return false;
    m_pubMsgIncoming = pubNew;
    m_cubMsgIncomingAlloc = (int32)cubAlloc;
    return true;
}

bool CTCPConnection::BDeliverWholeMessages(int32 *piOffset)
{
    int32 &iOffset = *piOffset;
    while (iOffset < m_cubMsgIncomingRecv)
    {
        const uint8 *pubStart = m_pubMsgIncoming + iOffset;
        int32 cubAvailable = m_cubMsgIncomingRecv - iOffset;
        int32 cubMsgSize = 0;
        const uint8 *pubPayload = nullptr;
        if (!m_pStreamParser->BIsValidMsgType(pubStart, cubAvailable, &cubMsgSize, &pubPayload))
        {
            DMsg("net", 1, "CTCPConnection stream parser indicates an error.  Disconnecting.\n");
            Disconnect(k_ENetDisconnectStreamError, k_ENotifyOwnerNow);
            return false;
        }
        if (!pubPayload)
            break; // the header is not complete yet
        if (cubMsgSize < 0 || cubMsgSize > k_cubMaxMsgRecv)
        {
            DMsg("net", 1,
                 "CTCPConnection: message size %d exceeds max size of %d, received from %s, disconnecting",
                 cubMsgSize, k_cubMaxMsgRecv, m_adrRemote.ToString());
            Disconnect(k_ENetDisconnectStreamError, k_ENotifyOwnerNow);
            return false;
        }
        int32 cubHeader = (int32)(pubPayload - pubStart);
        const uint8 *pubEnd = nullptr;
        if (!m_pStreamParser->BIsMsgComplete(pubPayload, cubAvailable - cubHeader, cubMsgSize, &pubEnd))
        {
            // Room for the whole message now, so that it grows once.
            int64 cubWhole = (int64)iOffset + cubHeader + cubMsgSize;
            if (cubWhole > m_cubMsgIncomingAlloc && iOffset == 0)
            {
                uint8 *pubNew = (uint8 *)realloc(m_pubMsgIncoming, (size_t)cubWhole);
                if (pubNew)
                {
                    m_pubMsgIncoming = pubNew;
                    m_cubMsgIncomingAlloc = (int32)cubWhole;
                }
            }
            break;
        }
        NotifyOwnerOfRecv(pubPayload, (uint32)cubMsgSize);
        if (m_hSocket == k_PlatSocketInvalid)
            return false; // the owner ended the connection
        iOffset = (int32)(pubEnd - m_pubMsgIncoming);
    }
    return true;
}

bool CTCPConnection::BInternalAsyncSend(const void *pvData, uint32 cubData, bool bAsDatagram)
{
    AssertMsg(!bAsDatagram, "!bAsDatagram");
    if (m_EConnectionState != k_EConnectionStateConnected || m_hSocket == k_PlatSocketInvalid)
        return false;

    uint64 ulNow = Clock_GetMicroseconds();
    if (m_cubOutstanding < k_cubBacklogResetThreshold)
        m_ulBacklogStart = ulNow;
    if (BBackloggedTooLong(ulNow))
    {
        Disconnect(k_ENetDisconnectBacklog, k_ENotifyOwnerQueued);
        return false;
    }

    const bool bRaw = BRawSend();
    if (!bRaw)
        AssertMsg(cubData <= (uint32)k_cubMaxMsgNetworkSize, "cubData <= k_cubMaxMsgNetworkSize");

    // Raw data with nothing queued goes straight from the caller's memory; only what the
    // socket does not take is copied.
    uint32 cubSentNow = 0;
    const bool bTriedDirect = bRaw && m_dequeSendBuffers.empty();
    if (bTriedDirect)
    {
        int nError = 0;
        EPlatSocketIO eResult = PLAT_SendSocket(m_hSocket, pvData, cubData, &cubSentNow, &nError);
        if (eResult == k_EPlatSocketIOError)
        {
            LogDisconnect("WSASend", nError, true);
            Disconnect(k_ENetDisconnectSendError, k_ENotifyOwnerQueued);
            return false;
        }
        if (cubSentNow == cubData)
            return true;
    }

    if (!BQueueUnsent((const uint8 *)pvData, cubData, cubSentNow, ulNow))
        return false;
    if (m_dequeSendBuffers.size() == 1 && !bTriedDirect)
        return BFlushSendQueue(true);
    return true;
}

bool CTCPConnection::BBackloggedTooLong(uint64 ulNow)
{
    int64 cubAll = CNet::sm_cubOutstandingAllConnections.load();
    if (cubAll <= k_cubBacklogAllConnections)
        return false;
    int64 nSecondsBacklogged = (int64)((ulNow - m_ulBacklogStart) / 1000000);
    if (nSecondsBacklogged < CNet::GetSettingInt("@net_backlog_time_allowed_sec") &&
        m_cubOutstanding <= CNet::GetSettingInt("@net_backlog_bytes_allowed"))
        return false;
    static std::atomic<bool> s_bReported{false};
    if (!s_bReported.exchange(true))
        AssertMsg(false, "CTCPConnection::BInternalAsyncSend(): outstanding sends over the limit");
    // clang-format off
    DMsg("net", 1,
         "CTCPConnection::BInternalAsyncSend(): Outstanding sends has reached %lld bytes.  Connection %d to %s with %d outstanding bytes, backlogged for %d seconds, self-destructing.\n",
         (long long)cubAll, (int)m_hConnection, m_adrRemote.ToString(), (int)m_cubOutstanding,
         (int)nSecondsBacklogged);
    // clang-format on
    return true;
}

bool CTCPConnection::BQueueUnsent(const uint8 *pubData, uint32 cubData, uint32 cubSentNow, uint64 ulNow)
{
    // Packet: header and payload, or the raw bytes not yet sent.
    const bool bRaw = BRawSend();
    uint32 cubHeader = bRaw ? 0 : (uint32)k_cubMsgHeader;
    uint32 cubPacket = cubHeader + cubData - cubSentNow;
    SendBuffer_t sendBuffer;
    sendBuffer.m_pubData = (uint8 *)malloc(cubPacket ? cubPacket : 1);
    if (!sendBuffer.m_pubData)
    {
        LogDisconnect("WSASend", k_EPlatSockErrNoBufs, true);
        Disconnect(k_ENetDisconnectSendError, k_ENotifyOwnerQueued);
        return false;
    }
    sendBuffer.m_cubData = cubPacket;
    sendBuffer.m_cubSent = 0;
    if (!bRaw)
    {
        uint32 unLength = cubData;
        uint32 unMagic = k_unMsgHeaderMagic;
        for (int i = 0; i < 4; ++i)
        {
            sendBuffer.m_pubData[i] = (uint8)(unLength >> (8 * i));
            sendBuffer.m_pubData[4 + i] = (uint8)(unMagic >> (8 * i));
        }
    }
    if (cubData > cubSentNow)
        memcpy(sendBuffer.m_pubData + cubHeader, pubData + cubSentNow, cubData - cubSentNow);

    if (!m_dequeSendBuffers.empty())
    {
        // Earlier data is still waiting for the socket; this waits behind it, in order.
        if (!m_ulSendStalledSince)
            m_ulSendStalledSince = ulNow;
        else if (!m_bReportedStall && ulNow - m_ulSendStalledSince > 100000)
        {
            m_bReportedStall = true;
            // clang-format off
            DMsg("net", 3,
                 "CTCPConnection stalled in InternalAsyncSend() waiting for the previous async send to complete\n");
            // clang-format on
        }
    }
    m_dequeSendBuffers.push_back(sendBuffer);
    m_pSendBuffer = &m_dequeSendBuffers.front();
    ++m_cOutstandingSends;
    m_cubOutstanding += cubPacket;
    CNet::sm_cOutstandingSendsAllConnections.fetch_add(1);
    CNet::sm_cubOutstandingAllConnections.fetch_add(cubPacket);
    return true;
}

bool CTCPConnection::BFlushSendQueue(bool bFromSend)
{
    while (!m_dequeSendBuffers.empty())
    {
        SendBuffer_t &sendBuffer = m_dequeSendBuffers.front();
        uint32 cubSent = 0;
        int nError = 0;
        EPlatSocketIO eResult =
            PLAT_SendSocket(m_hSocket, sendBuffer.m_pubData + sendBuffer.m_cubSent,
                            sendBuffer.m_cubData - sendBuffer.m_cubSent, &cubSent, &nError);
        if (eResult == k_EPlatSocketIOError)
        {
            LogDisconnect("WSASend", nError, true);
            Disconnect(k_ENetDisconnectSendError, bFromSend ? k_ENotifyOwnerQueued : k_ENotifyOwnerNow);
            return false;
        }
        if (eResult == k_EPlatSocketIOWouldBlock || cubSent == 0)
            return true;
        sendBuffer.m_cubSent += cubSent;
        m_cubOutstanding -= cubSent;
        CNet::sm_cubOutstandingAllConnections.fetch_sub(cubSent);
        if (sendBuffer.m_cubSent < sendBuffer.m_cubData)
            return true; // the socket is full
        // The send is finished.
        free(sendBuffer.m_pubData);
        m_dequeSendBuffers.pop_front();
        --m_cOutstandingSends;
        CNet::sm_cOutstandingSendsAllConnections.fetch_sub(1);
    }
    m_pSendBuffer = nullptr;
    m_ulSendStalledSince = 0;
    m_bReportedStall = false;
    return true;
}

void CTCPConnection::FreeSendQueue()
{
    for (SendBuffer_t &sendBuffer : m_dequeSendBuffers)
    {
        uint32 cubLeft = sendBuffer.m_cubData - sendBuffer.m_cubSent;
        CNet::sm_cubOutstandingAllConnections.fetch_sub(cubLeft);
        CNet::sm_cOutstandingSendsAllConnections.fetch_sub(1);
        free(sendBuffer.m_pubData);
    }
    m_dequeSendBuffers.clear();
    m_pSendBuffer = nullptr;
    m_cOutstandingSends = 0;
    m_cubOutstanding = 0;
}

void CTCPConnection::AsyncDisconnect()
{
    if (m_hSocket == k_PlatSocketInvalid)
        return;
    if (m_dequeSendBuffers.empty() || m_EConnectionState != k_EConnectionStateConnected)
    {
        Disconnect(k_ENetDisconnectLocal, k_ENotifyOwnerNow);
        return;
    }
    m_EConnectionState = k_EConnectionStateClosing;
    m_ulClosingSince = Clock_GetMicroseconds();
}

void CTCPConnection::Disconnect(int eReason, ENotifyOwner eNotify)
{
    if (m_hSocket == k_PlatSocketInvalid && m_EConnectionState == k_EConnectionStateUnconnected)
        return;
    const bool bWasConnecting = m_EConnectionState == k_EConnectionStateConnecting;
    CloseSocket();
    FreeSendQueue();
    m_EConnectionState = k_EConnectionStateUnconnected;
    if (eNotify == k_ENotifyOwnerNow)
    {
        if (bWasConnecting && eReason != k_ENetDisconnectLocal)
            m_pConnectionCallback->OnConnectFailed(m_hConnection, eReason);
        else
            m_pConnectionCallback->OnDisconnect(m_hConnection, eReason);
    }
    else if (eNotify == k_ENotifyOwnerQueued)
    {
        CNet::BQueueConnectionWorkItem(m_hConnection, CNet::k_EConnectionWorkItemOnDisconnect, eReason);
    }
}

bool CTCPConnection::BGetLocalAddress(netadr_t *pAdrLocal) const
{
    uint32 unIP;
    uint16 usPort;
    if (m_hSocket == k_PlatSocketInvalid || !PLAT_GetSocketLocalAddress(m_hSocket, &unIP, &usPort))
        return false;
    *pAdrLocal = netadr_t(unIP, usPort);
    return true;
}

void CTCPConnection::LogDisconnect(const char *pchOperation, int nError, bool bAllConnections)
{
    const bool bNormal = BIsNormalDisconnectError(nError);
    int cSends =
        bAllConnections ? (int)CNet::sm_cOutstandingSendsAllConnections.load() : (int)m_cOutstandingSends;
    long long cubBytes = bAllConnections ? (long long)CNet::sm_cubOutstandingAllConnections.load()
                                         : (long long)m_cubOutstanding;
    DMsg("net", 2,
         "%s: %s returned %s %d (%s), disconnecting TCP connection. %d sends, %lld bytes outstanding %s\n",
         m_adrRemote.ToString(), pchOperation, bNormal ? "normal disconnect" : "error", nError,
         NetErrorName(nError), cSends, cubBytes,
         bAllConnections ? "on all connections." : "on this connection.");
}

bool CTCPConnection::BFrameFuncRunConnections(CLimitTimer &)
{
    return false;
}
