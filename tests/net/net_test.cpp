// The network layer on loopback: connects, raw and framed streams, partial sends,
// disconnects and their reasons, handles.
#include "foundation/platform/socket.h"
#include "net/net.h"
#include "net/netconnection.h"
#include "net/neterror.h"
#include "net/tcpconnection.h"
#include "support/net/nettestutil.h"
#include "support/scriptedhttpserver.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
const uint32 k_unRawFlags = k_uNetFlagNoIOCP | k_uNetFlagRawStream | k_uNetFlagRawStreamSend;

// Records every callback.
class CRecordingCallback : public IConnectionCallback
{
public:
    void OnConnect(HNetConnection hConnection) override
    {
        ++m_cConnects;
        if (!m_strSendOnConnect.empty())
            m_bSendOnConnectResult =
                CNet::BAsyncSend(hConnection, m_strSendOnConnect.data(), (uint32)m_strSendOnConnect.size());
    }
    void OnConnectFailed(HNetConnection, int eReason) override
    {
        ++m_cConnectFailures;
        m_eLastReason = eReason;
    }
    void OnDisconnect(HNetConnection, int eReason) override
    {
        ++m_cDisconnects;
        m_eLastReason = eReason;
    }
    void RecvPkt(HNetConnection, const void *pvData, uint32 cubData) override
    {
        m_strReceived.append((const char *)pvData, cubData);
        m_vecPackets.emplace_back((const char *)pvData, cubData);
    }
    void RecvDatagram(HNetConnection, const void *, uint32) override { ADD_FAILURE() << "datagram on TCP"; }
    void OnWakeUp(HNetConnection) override { ++m_cWakeUps; }

    int m_cConnects = 0;
    int m_cConnectFailures = 0;
    int m_cDisconnects = 0;
    int m_cWakeUps = 0;
    int m_eLastReason = 0;
    std::string m_strReceived;
    std::vector<std::string> m_vecPackets;
    std::string m_strSendOnConnect;
    bool m_bSendOnConnectResult = false;
};

netadr_t Loopback(uint16 usPort)
{
    return netadr_t(0x7F000001, usPort);
}

std::string FramedMessage(const std::string &strPayload, uint32 unMagic = k_unMsgHeaderMagic,
                          int32 nLength = -1)
{
    uint32 unLength = nLength >= 0 ? (uint32)nLength : (uint32)strPayload.size();
    std::string str(8, '\0');
    for (int i = 0; i < 4; ++i)
    {
        str[(size_t)i] = (char)(unLength >> (8 * i));
        str[(size_t)(4 + i)] = (char)(unMagic >> (8 * i));
    }
    return str + strPayload;
}

// Destroys the connection and waits until it is gone.
void DestroyAndWait(HNetConnection hConnection)
{
    CNet::BDestroyConnection(hConnection);
    PumpUntil([&] { return !CNet::BConnectionExists(hConnection); });
}
} // namespace

TEST(Net, HandlesAreOddForTCPEvenForUDPAndSkipZeroAndAllOnes)
{
    NetTestInit();
    HNetConnection hTCP = CNet::AllocateConnectionHandle(k_ENetConnectionTypeTCP);
    HNetConnection hUDP = CNet::AllocateConnectionHandle(k_ENetConnectionTypeUDP);
    EXPECT_EQ(1u, hTCP & 1);
    EXPECT_EQ(0u, hUDP & 1);
    EXPECT_EQ(hTCP + 3, hUDP); // the counter moved by 2, UDP takes the value after it

    // Around the wrap: 0xFFFFFFFD is the last TCP handle, then 1 again; UDP never gets
    // 0xFFFFFFFF nor 0.
    CNet::SetNextConnectionHandle(0xFFFFFFFB);
    EXPECT_EQ(0xFFFFFFFBu, CNet::AllocateConnectionHandle(k_ENetConnectionTypeTCP));
    EXPECT_EQ(0xFFFFFFFEu, CNet::AllocateConnectionHandle(k_ENetConnectionTypeUDP));
    EXPECT_EQ(1u, CNet::AllocateConnectionHandle(k_ENetConnectionTypeTCP));
    EXPECT_EQ(4u, CNet::AllocateConnectionHandle(k_ENetConnectionTypeUDP));
    CNet::SetNextConnectionHandle(101);
}

TEST(Net, UnknownSettingsAreRefusedAndUnknownErrorsNamedAsSuch)
{
    NetTestInit();
    EXPECT_FALSE(CNet::BSetSetting("@no_such_setting", "1"));
    EXPECT_STREQ("[no name available]", NetErrorName(424242));
}

TEST(Net, AsyncConnectRefusesBadArguments)
{
    NetTestInit();
    CSpewCapture capture;
    CRecordingCallback callback;
    EXPECT_EQ(0u,
              CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback, netadr_t(0, 80), k_unRawFlags, nullptr));
    EXPECT_TRUE(
        capture.BContains("CNet::AsyncConnect: somebody is trying to connect to invalid IP 0.0.0.0."));
    EXPECT_EQ(0u, CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback, netadr_t(0xcdcdcdcd, 80),
                                     k_unRawFlags, nullptr));
    EXPECT_TRUE(capture.BContains(
        "CNet::AsyncConnect: somebody is trying to connect to 0xcdcdcdcd.  Uninitialized memory?"));
    EXPECT_EQ(0u, CNet::AsyncConnect(k_ENetConnectionTypeTCP, nullptr, Loopback(80), k_unRawFlags, nullptr));
    EXPECT_TRUE(capture.BContains("Assertion Failed: pConnectionCallback"));
    EXPECT_EQ(0u,
              CNet::AsyncConnect(k_ENetConnectionTypeUDP, &callback, Loopback(80), k_unRawFlags, nullptr));
    EXPECT_TRUE(capture.BContains("Raw stream mode only supported for TCP connections"));
    EXPECT_EQ(0u, CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback, Loopback(80),
                                     k_unRawFlags | k_uNetFlagAuthenticate, nullptr));
    EXPECT_TRUE(capture.BContains("Cannot use authentication with raw stream connection"));
    EXPECT_TRUE(capture.BContains("Assertion Failed: pKeyCallback"));
    EXPECT_EQ(0u, CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback, Loopback(80),
                                     k_unRawFlags | k_uNetFlagEncrypt, nullptr));
    EXPECT_TRUE(capture.BContains("Cannot use encryption with raw stream connection"));

    // Without the polled-socket flag: reported, and forced on.
    uint16 usPort = ClosedLoopbackPort();
    HNetConnection hConnection = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback, Loopback(usPort),
                                                    k_uNetFlagRawStream | k_uNetFlagUnboundSocket, nullptr);
    EXPECT_TRUE(
        capture.BContains("IOCP only supported in server build; you must pass flag k_uNetFlagNoIOCP"));
    EXPECT_TRUE(capture.BContains("Unbound socket cannot be used with IOCP"));
    ASSERT_NE(0u, hConnection);
    EXPECT_TRUE(CNet::FindConnection(hConnection)->GetFlags() & k_uNetFlagNoIOCP);
    DestroyAndWait(hConnection);
}

TEST(Net, ConnectToClosedPortFailsWithConnectFailed)
{
    NetTestInit();
    CSpewCapture capture;
    CRecordingCallback callback;
    HNetConnection hConnection = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback,
                                                    Loopback(ClosedLoopbackPort()), k_unRawFlags, nullptr);
    ASSERT_NE(0u, hConnection);
    EXPECT_EQ(1u, hConnection & 1);
    // Still connecting: nothing can be sent yet.
    EXPECT_FALSE(CNet::BAsyncSend(hConnection, "x", 1));
    EXPECT_FALSE(CNet::BIsConnected(hConnection));
    ASSERT_TRUE(PumpUntil([&] { return callback.m_cConnectFailures > 0; }));
    EXPECT_EQ(k_ENetDisconnectSocketError, callback.m_eLastReason);
    EXPECT_EQ(0, callback.m_cConnects);
    EXPECT_EQ(0, callback.m_cDisconnects);
    EXPECT_TRUE(capture.BContains("ERROR_CONNECTION_REFUSED"));
    EXPECT_FALSE(CNet::BAsyncSend(hConnection, "x", 1));
    DestroyAndWait(hConnection);
    EXPECT_EQ(netadr_t(), CNet::GetRemoteAddress(hConnection));
    EXPECT_FALSE(CNet::BAsyncSend(0, "x", 1));
    EXPECT_FALSE(CNet::BAsyncDisconnect(0));
    EXPECT_FALSE(CNet::BDestroyConnection(hConnection));
}

TEST(Net, PeerCloseIsReportedOnceWithReason38)
{
    NetTestInit();
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().Send("hello").Close());
    ASSERT_TRUE(server.BStart());
    CSpewCapture capture;
    CRecordingCallback callback;
    HNetConnection hConnection = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback,
                                                    Loopback(server.GetPort()), k_unRawFlags, nullptr);
    ASSERT_NE(0u, hConnection);
    ASSERT_TRUE(PumpUntil([&] { return callback.m_cDisconnects > 0; }));
    PumpFor(50);
    EXPECT_EQ(1, callback.m_cConnects);
    EXPECT_EQ("hello", callback.m_strReceived);
    EXPECT_EQ(1, callback.m_cDisconnects);
    EXPECT_EQ(k_ENetDisconnectRemoteClosed, callback.m_eLastReason);
    EXPECT_EQ(1, capture.CountContaining("Disconnecting connection because ::recv() returned zero bytes\n"));
    EXPECT_EQ(Loopback(server.GetPort()), CNet::GetRemoteAddress(hConnection));
    DestroyAndWait(hConnection);
}

TEST(Net, RawStreamPassesMegabytesBothWaysInOrder)
{
    NetTestInit();
    const size_t cubEachWay = 16 * 1024 * 1024;
    std::string strUp = PseudoRandomBytes(cubEachWay, 7);
    std::string strDown = PseudoRandomBytes(cubEachWay, 9);
    CScriptedHTTPServer server;
    // The server reads only after a pause, so the client's socket fills and the sends
    // continue as it drains.
    server.AddScript(CHTTPScript().Sleep(200).ReadBytes(cubEachWay).Send(strDown).ReadUntilClosed());
    ASSERT_TRUE(server.BStart());

    CRecordingCallback callback;
    HNetConnection hConnection = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback,
                                                    Loopback(server.GetPort()), k_unRawFlags, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return callback.m_cConnects == 1; }));
    const size_t cubPiece = cubEachWay / 4;
    for (size_t i = 0; i < 4; ++i)
        ASSERT_TRUE(CNet::BAsyncSend(hConnection, strUp.data() + i * cubPiece, (uint32)cubPiece));
    CTCPConnection *pConnection = static_cast<CTCPConnection *>(CNet::FindConnection(hConnection));
    EXPECT_GT(pConnection->GetOutstandingBytes(), 0) << "the socket took everything at once";
    EXPECT_EQ(pConnection->GetOutstandingBytes(), CNet::GetOutstandingBytesAllConnections());

    ASSERT_TRUE(PumpUntil([&] { return callback.m_strReceived.size() >= cubEachWay; }, 20000));
    EXPECT_TRUE(callback.m_strReceived == strDown);
    EXPECT_EQ(0, pConnection->GetOutstandingBytes());
    EXPECT_EQ(0, CNet::GetOutstandingBytesAllConnections());
    EXPECT_EQ(0, CNet::GetOutstandingSendsAllConnections());
    std::vector<std::string> vecRequests = server.GetRequests();
    ASSERT_GE(vecRequests.size(), 1u);
    EXPECT_TRUE(vecRequests[0] == strUp);

    // A graceful disconnect sends what is queued first, then tells the owner.
    std::string strTail = PseudoRandomBytes(3 * 1024 * 1024, 11);
    ASSERT_TRUE(CNet::BAsyncSend(hConnection, strTail.data(), (uint32)strTail.size()));
    ASSERT_TRUE(CNet::BAsyncDisconnect(hConnection));
    ASSERT_TRUE(PumpUntil([&] { return callback.m_cDisconnects == 1; }));
    EXPECT_EQ(k_ENetDisconnectLocal, callback.m_eLastReason);
    ASSERT_TRUE(server.BWaitForFinished(1));
    vecRequests = server.GetRequests();
    ASSERT_EQ(2u, vecRequests.size());
    EXPECT_TRUE(vecRequests[1] == strTail);
    DestroyAndWait(hConnection);
}

TEST(Net, FramedMessagesUpToTheMaximumAreDelivered)
{
    NetTestInit();
    std::string strBig = PseudoRandomBytes((size_t)k_cubMaxMsgRecv, 3);
    CScriptedHTTPServer server;
    // Two small messages and an empty one in one send, then the largest one in pieces.
    server.AddScript(CHTTPScript()
                         .ReadBytes(8 + 5)
                         .Send(FramedMessage("first") + FramedMessage("") + FramedMessage("second"))
                         .SendPieces(FramedMessage(strBig), {3, 5, 1000, 65536})
                         .ReadUntilClosed());
    ASSERT_TRUE(server.BStart());
    CRecordingCallback callback;
    callback.m_strSendOnConnect = "hello";
    HNetConnection hConnection = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback,
                                                    Loopback(server.GetPort()), k_uNetFlagNoIOCP, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return callback.m_vecPackets.size() >= 4; }, 30000));
    EXPECT_TRUE(callback.m_bSendOnConnectResult);
    ASSERT_EQ(4u, callback.m_vecPackets.size());
    EXPECT_EQ("first", callback.m_vecPackets[0]);
    EXPECT_EQ("", callback.m_vecPackets[1]);
    EXPECT_EQ("second", callback.m_vecPackets[2]);
    EXPECT_TRUE(callback.m_vecPackets[3] == strBig);
    EXPECT_EQ(0, callback.m_cDisconnects);
    // The client framed its message.
    EXPECT_EQ(FramedMessage("hello"), server.GetRequests().at(0));
    DestroyAndWait(hConnection);
}

TEST(Net, FramedStreamErrorsCloseTheConnection)
{
    NetTestInit();
    struct
    {
        std::string m_strData;
        const char *m_pchMessage;
    } rgCases[] = {
        {FramedMessage("", k_unMsgHeaderMagic, k_cubMaxMsgRecv + 1),
         "IStreamParser::BIsValidMsgType() too-large cbMessageSize in message header (50331649 bytes, 8 "
         "bytes recv'd "
         "so far) discarding packet and closing connection\n"},
        {FramedMessage("abc", k_unMsgHeaderMagicObsolete),
         "IStreamParser::BIsValidMsgType() old packet header from out-of-date Ferro build, discarding packet "
         "and "
         "closing connection\n"},
        {std::string("\x01\x02\x03\x04GET /", 9), "IStreamParser::BIsValidMsgType() invalid packet header "
                                                  "(1st 8 bytes: 0x0102030447455420, 9 bytes recv'd so "
                                                  "far) discarding packet and closing connection\n"},
    };
    for (const auto &testCase : rgCases)
    {
        CScriptedHTTPServer server;
        server.AddScript(CHTTPScript().Send(FramedMessage("ok") + testCase.m_strData).ReadUntilClosed());
        ASSERT_TRUE(server.BStart());
        CSpewCapture capture;
        uint32 cInvalidBefore = CNet::GetInvalidHeaderCount();
        CRecordingCallback callback;
        HNetConnection hConnection = CNet::AsyncConnect(
            k_ENetConnectionTypeTCP, &callback, Loopback(server.GetPort()), k_uNetFlagNoIOCP, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return callback.m_cDisconnects > 0; })) << testCase.m_pchMessage;
        EXPECT_TRUE(capture.BContains(testCase.m_pchMessage)) << testCase.m_pchMessage;
        EXPECT_TRUE(capture.BContains("CTCPConnection stream parser indicates an error.  Disconnecting.\n"));
        ASSERT_EQ(1u, callback.m_vecPackets.size());
        EXPECT_EQ("ok", callback.m_vecPackets[0]);
        EXPECT_EQ(CNet::GetInvalidHeaderCount(), cInvalidBefore + (testCase.m_strData[4] == 'G' ? 1u : 0u));
        DestroyAndWait(hConnection);
    }
}

TEST(Net, ClearedCallbackAndImmediateDisconnectAndDestroy)
{
    NetTestInit();
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().Sleep(100).Send("late data").ReadUntilClosed());
    server.AddScript(CHTTPScript().ReadUntilClosed());
    ASSERT_TRUE(server.BStart());

    // An owner that cleared its callback hears nothing more.
    CRecordingCallback callback;
    HNetConnection hConnection = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback,
                                                    Loopback(server.GetPort()), k_unRawFlags, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return callback.m_cConnects == 1; }));
    CNet::ClearConnectionCallback(&callback);
    EXPECT_TRUE(CNet::FindConnection(hConnection)->BHasEmptyCallback());
    ASSERT_TRUE(server.BWaitForConnections(1));
    PumpFor(300);
    EXPECT_EQ("", callback.m_strReceived);
    DestroyAndWait(hConnection);
    EXPECT_EQ(0, callback.m_cDisconnects);

    // Immediate disconnect: the owner hears of it; the connection stays until destroyed.
    CRecordingCallback callback2;
    HNetConnection hSecond = CNet::AsyncConnect(k_ENetConnectionTypeTCP, &callback2,
                                                Loopback(server.GetPort()), k_unRawFlags, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return callback2.m_cConnects == 1; }));
    netadr_t adrLocal;
    EXPECT_TRUE(CNet::BGetLocalAddress(hSecond, &adrLocal));
    EXPECT_EQ(0x7F000001u, adrLocal.GetIP());
    EXPECT_NE(0, adrLocal.GetPort());
    EXPECT_TRUE(CNet::BImmediateDisconnect(hSecond));
    ASSERT_TRUE(PumpUntil([&] { return callback2.m_cDisconnects == 1; }));
    EXPECT_EQ(k_ENetDisconnectLocal, callback2.m_eLastReason);
    EXPECT_TRUE(CNet::BConnectionExists(hSecond));
    EXPECT_FALSE(CNet::BIsConnected(hSecond));
    EXPECT_FALSE(CNet::BAsyncSend(hSecond, "x", 1));
    DestroyAndWait(hSecond);
    EXPECT_FALSE(CNet::BConnectionExists(hSecond));
    EXPECT_TRUE(server.BWaitForFinished(2));
}

TEST(NetAdr, ParsesFormatsAndOrders)
{
    netadr_t adr;
    EXPECT_TRUE(adr.BSetFromString("10.1.2.3:8080"));
    EXPECT_EQ(0x0A010203u, adr.GetIP());
    EXPECT_EQ(8080, adr.GetPort());
    EXPECT_STREQ("10.1.2.3:8080", adr.ToString());
    EXPECT_STREQ("10.1.2.3", adr.ToString(false));
    EXPECT_TRUE(adr.BSetFromString("127.0.0.1"));
    EXPECT_EQ(0, adr.GetPort());
    for (const char *pchBad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4:", "1.2.3.4:65536", "a.b.c.d",
                               "1.2.3.4 ", "1.2.3.4:80x"})
    {
        netadr_t adrBad(5, 6);
        EXPECT_FALSE(adrBad.BSetFromString(pchBad)) << pchBad;
        EXPECT_EQ(netadr_t(5, 6), adrBad) << pchBad;
    }

    // Type first, then address, then port.
    netadr_t adrLowIPHighPort(0x01000000, 65535);
    netadr_t adrHighIPLowPort(0x02000000, 1);
    EXPECT_TRUE(adrLowIPHighPort < adrHighIPLowPort);
    netadr_t adrNone(0x01000000, 1);
    adrNone.SetType(k_ENetAdrTypeNone);
    EXPECT_TRUE(adrNone < adrLowIPHighPort);
    EXPECT_TRUE(netadr_t(1, 1) < netadr_t(1, 2));
    EXPECT_FALSE(netadr_t(1, 2) < netadr_t(1, 2));

    netadr_t adrResolved;
    EXPECT_TRUE(adrResolved.BResolve("localhost:81"));
    EXPECT_EQ(81, adrResolved.GetPort());
    EXPECT_TRUE(adrResolved.BIsLoopback());
    EXPECT_TRUE(adrResolved.BResolve("127.0.0.2"));
    EXPECT_EQ(0x7F000002u, adrResolved.GetIP());
    EXPECT_FALSE(adrResolved.BResolve("localhost:99999"));
    EXPECT_EQ(k_ENetAdrTypeNone, adrResolved.GetType());
    EXPECT_FALSE(adrResolved.BResolve("no-such-host.invalid"));
}
