// CTCPConnection: a TCP connection of the network layer over a non-blocking, polled socket.
//
// Raw stream connections hand received bytes to the owner as they arrive and send data as
// it is given; framed connections add an 8-byte header to each message sent and deliver
// whole messages (CFerro3StreamParser finds their boundaries).
//
// Sending never blocks and never drops data: what the socket does not take at once waits in
// the connection's send queue, in order, and goes out as the socket becomes writable. The
// bytes waiting count against the backlog limits of the network layer.
//
// Thread: the main thread (CNet's frame functions).
#pragma once

#include "foundation/basetypes.h"
#include "foundation/platform/socket.h"
#include "net/netconnection.h"

#include <deque>

class CTCPConnection : public CNetConnection
{
public:
    // Reads per poll, and the size of one read.
    static constexpr int k_cMaxPollRounds = 24;
    static constexpr uint32 k_cubRecvBuffer = 256 * 1024;
    // Below this many outstanding bytes a connection is not backlogged.
    static constexpr int64 k_cubBacklogResetThreshold = 0xA00000;
    // Outstanding bytes of all connections above which backlogged connections are ended.
    static constexpr int64 k_cubBacklogAllConnections = 536870912;
    // A graceful disconnect waits at most this long for its queued data.
    static constexpr uint64 k_usMaxClosingTime = 5000000;

    CTCPConnection(HNetConnection hConnection, IConnectionCallback *pConnectionCallback, uint32 unFlags,
                   IStreamParser *pStreamParser);
    ~CTCPConnection() override;

    bool BConnect(const netadr_t &adrRemote, const netadr_t &adrLocalBind) override;
    bool BPollConnection() override;
    bool BInternalAsyncSend(const void *pvData, uint32 cubData, bool bAsDatagram) override;
    void AsyncDisconnect() override;
    void Disconnect(int eReason, ENotifyOwner eNotify) override;
    bool BGetLocalAddress(netadr_t *pAdrLocal) const override;

    bool BRawRecv() const;
    bool BRawSend() const;
    int64 GetOutstandingBytes() const { return m_cubOutstanding; }

    // The frame function of the TCP layer; in client mode there is nothing for it to do.
    static bool BFrameFuncRunConnections(CLimitTimer &limitTimer);

private:
    struct SendBuffer_t
    {
        uint8 *m_pubData;
        uint32 m_cubData;
        uint32 m_cubSent;
    };

    // The socket, bound unless the flags say otherwise; false (logged) on failure.
    bool BCreateBoundSocket();
    // Received bytes: to the owner (raw) or into the message assembly (framed). False when
    // the connection was ended meanwhile.
    bool BOnDataArrived(const uint8 *pubData, uint32 cubData);
    void NotifyOwnerOfRecv(const uint8 *pubData, uint32 cubData);
    bool BAppendToIncomingMessage(const uint8 *pubData, uint32 cubData);
    // One read from a readable socket (the receive buffer made on first use): false when
    // the connection ended meanwhile; *pbReadAgain when the read filled the buffer.
    bool BReceiveFromSocket(uint64 cubAllowed, bool *pbReceived, bool *pbReadAgain);
    // The message assembly made room for cubNeeded bytes; false when it would be too large
    // or cannot be had.
    bool BGrowIncomingMessage(int64 cubNeeded);
    // Hands every whole message from *piOffset on to the owner, advancing *piOffset past
    // each; false when the connection ended (a bad stream, or the owner ended it).
    bool BDeliverWholeMessages(int32 *piOffset);
    // The sends of all connections are over their limit and this connection has been
    // backlogged too long or holds too much (logged once); the caller disconnects.
    bool BBackloggedTooLong(uint64 ulNow);
    // Queues what the socket has not taken (with the header of a framed message); false
    // after ending the connection when the memory cannot be had.
    bool BQueueUnsent(const uint8 *pubData, uint32 cubData, uint32 cubSentNow, uint64 ulNow);
    // Writes queued data while the socket takes it; false (after ending the connection) on
    // a send error. bFromSend: called inside BAsyncSend, so the owner hears of a failure
    // later, not from inside its own call.
    bool BFlushSendQueue(bool bFromSend);
    void FreeSendQueue();
    void CloseSocket();
    // The disconnect log line and the counters.
    void LogDisconnect(const char *pchOperation, int nError, bool bAllConnections);

    PlatSocket_t m_hSocket;
    uint8 *m_pubRecvBuffer;
    uint32 m_cubRecvBuffer;
    uint32 m_cubRecvBufferUsed;
    // Framed receive: the message being assembled.
    uint8 *m_pubMsgIncoming;
    int32 m_cubMsgIncomingAlloc;
    int32 m_cubMsgIncomingRecv;
    // Sends waiting for the socket, oldest first; m_pSendBuffer is the one going out now.
    std::deque<SendBuffer_t> m_dequeSendBuffers;
    SendBuffer_t *m_pSendBuffer;
    int32 m_cOutstandingSends;
    int64 m_cubOutstanding;
    uint64 m_ulBacklogStart;      // scheduler time when the backlog began
    uint64 m_ulSendStalledSince;  // when a send last had to wait behind an earlier one
    bool m_bReportedZeroByteRecv; // the peer's close is reported once
    bool m_bReportedStall;
    uint64 m_ulClosingSince;
};
