#include "net/net.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"
#include "foundation/strtools.h"
#include "foundation/utlstring.h"
#include "jobs/workthreadpool.h"
#include "net/networkitems.h"
#include "net/tcpconnection.h"

#include <unordered_map>
#include <vector>

std::atomic<int64> CNet::sm_cOutstandingSendsAllConnections{0};
std::atomic<int64> CNet::sm_cubOutstandingAllConnections{0};
std::atomic<uint32> CNet::sm_cInvalidHeaders{0};
uint32 CNet::sm_nNextConnectionHandle = 1;

namespace
{
struct NetSetting_t
{
    const char *m_pchName;
    const char *m_pchDefault;
    CUtlString m_strValue;
};

NetSetting_t g_rgNetSettings[] = {
    {"@net_backlog_bytes_allowed", "12000000", CUtlString("12000000")},
    {"@net_backlog_time_allowed_sec", "5", CUtlString("5")},
    {"@net_loopback", "1", CUtlString("1")},
    {"@MaxOutstandingSendThreadItem", "1000", CUtlString("1000")},
};

struct NetState_t
{
    bool m_bInitialized = false;
    bool m_bClientMode = true;
    CFrameFunctionMgr *m_pFrameFunctionMgr = nullptr;
    CWorkThreadPool *m_pEncryptPool = nullptr;
    CWorkThreadPool *m_pResolverPool = nullptr;
    std::vector<CBaseFrameFunction *> m_vecFrameFunctions;
    std::unordered_map<HNetConnection, CNetConnection *> m_mapTCPConnections;
    std::unordered_map<HNetConnection, IConnectionCallback *> m_mapHandleCallbacks;
    std::vector<HNetConnection> m_vecPollList;
    size_t m_iNextPoll = 0;
};

NetState_t &NetState()
{
    static NetState_t s_State;
    return s_State;
}

CFerro3StreamParser g_Ferro3StreamParser;
const netadr_t g_adrEmpty;

CNetConnection *FindTCP(HNetConnection hConnection)
{
    if (hConnection == k_HNetConnectionInvalid)
        return nullptr;
    auto it = NetState().m_mapTCPConnections.find(hConnection);
    return it == NetState().m_mapTCPConnections.end() ? nullptr : it->second;
}
} // namespace

const char *NetDisconnectReasonText(int eReason)
{
    switch (eReason)
    {
    case k_ENetDisconnectLocal:
        return "Disconnected Locally";
    case k_ENetDisconnectRecvError:
        return "Receive Error";
    case k_ENetDisconnectSocketError:
        return "Socket Error";
    case k_ENetDisconnectStreamError:
        return "Invalid Stream Data";
    case k_ENetDisconnectBacklog:
        return "Send Backlog Exceeded";
    case k_ENetDisconnectSendError:
        return "Send Error";
    case k_ENetDisconnectRemoteClosed:
        return "Disconnected By Remote Host";
    default:
        return "Unknown";
    }
}

bool CNet::BInit(bool bClientMode, CFrameFunctionMgr *pFrameFunctionMgr)
{
    NetState_t &state = NetState();
    if (state.m_bInitialized)
        return true;
    if (!pFrameFunctionMgr)
    {
        AssertMsg(false, "pFrameFunctionMgr");
        return false;
    }
    state.m_bClientMode = bClientMode;
    state.m_pFrameFunctionMgr = pFrameFunctionMgr;

    state.m_pEncryptPool = new CWorkThreadPool("CNet Encrypt");
    state.m_pEncryptPool->SetEnsureOutputOrdering(true);
    state.m_pEncryptPool->ConfigureWorkThreads(1);
    state.m_pResolverPool = new CWorkThreadPool("CNet Resolver");
    state.m_pResolverPool->SetEnsureOutputOrdering(true);
    state.m_pResolverPool->ConfigureWorkThreads(4);
    state.m_mapHandleCallbacks.rehash(64);
    state.m_mapTCPConnections.rehash(bClientMode ? 20 : 100);
    state.m_mapTCPConnections.reserve(bClientMode ? 100 : 10000);

    struct
    {
        FnFrameFunction_t m_pfn;
        const char *m_pchName;
    } rgFunctions[] = {
        {&CNet::BFrameHandleCompletedWorkItems, "CNet::BFrameHandleCompletedWorkItems"},
        {&CNet::BFrameFuncPollConnections, "CNet::BFrameFuncPollConnections"},
        {&CNet::BFrameFuncWakeUpConnections, "CNet::BFrameFuncWakeUpConnections"},
        {&CNet::BFrameFuncRunHosts, "CNet::BFrameFuncRunHosts"},
    };
    for (const auto &function : rgFunctions)
    {
        CBaseFrameFunction *pFunction =
            pFrameFunctionMgr->RegisterStatic(function.m_pfn, function.m_pchName, k_EFrameTypeMain);
        if (pFunction)
            state.m_vecFrameFunctions.push_back(pFunction);
    }
    state.m_bInitialized = true;
    return true;
}

void CNet::Shutdown()
{
    NetState_t &state = NetState();
    if (!state.m_bInitialized)
        return;
    // Connections go without callbacks: their owners are going away too.
    std::vector<CNetConnection *> vecConnections;
    for (auto &entry : state.m_mapTCPConnections)
        vecConnections.push_back(entry.second);
    for (CNetConnection *pConnection : vecConnections)
    {
        pConnection->SetConnectionCallback(nullptr);
        DeleteConnection(pConnection);
    }
    for (CBaseFrameFunction *pFunction : state.m_vecFrameFunctions)
    {
        if (pFunction->GetOwner() == state.m_pFrameFunctionMgr)
            state.m_pFrameFunctionMgr->Deregister(pFunction);
        delete pFunction;
    }
    state.m_vecFrameFunctions.clear();
    state.m_pEncryptPool->StopWorkThreads();
    state.m_pResolverPool->StopWorkThreads();
    // Items that completed but were never dispatched still hold references; dispatching
    // them now finds no connections and frees them.
    CLimitTimer limitTimer;
    limitTimer.SetLimit(1000000);
    state.m_pEncryptPool->BDispatchCompletedWorkItems(limitTimer);
    state.m_pResolverPool->BDispatchCompletedWorkItems(limitTimer);
    delete state.m_pEncryptPool;
    delete state.m_pResolverPool;
    state.m_pEncryptPool = nullptr;
    state.m_pResolverPool = nullptr;
    state.m_vecPollList.clear();
    state.m_mapHandleCallbacks.clear();
    state.m_pFrameFunctionMgr = nullptr;
    state.m_bInitialized = false;
}

HNetConnection CNet::AllocateConnectionHandle(ENetConnectionType eType)
{
    // The counter is always odd: TCP takes it, UDP the even value after it. Handles still in
    // use are skipped after a wrap.
    for (int i = 0; i < 1000; ++i)
    {
        uint32 nHandle = sm_nNextConnectionHandle;
        sm_nNextConnectionHandle = nHandle >= 0xFFFFFFFDu ? 1 : nHandle + 2;
        HNetConnection hConnection = eType == k_ENetConnectionTypeTCP ? nHandle : nHandle + 1;
        if (!FindTCP(hConnection))
            return hConnection;
    }
    return k_HNetConnectionInvalid;
}

HNetConnection CNet::AsyncConnect(ENetConnectionType eType, IConnectionCallback *pConnectionCallback,
                                  const netadr_t &adrRemote, uint32 unFlags, IKeyCallback *pKeyCallback)
{
    return AsyncConnect(eType, pConnectionCallback, adrRemote, unFlags, pKeyCallback, nullptr,
                        &g_Ferro3StreamParser);
}

namespace
{
// Whether a connection may be asked for with these arguments (an assertion names what is
// wrong); *punFlags gets the flag this program always needs.
bool BConnectArgumentsUsable(ENetConnectionType eType, IConnectionCallback *pConnectionCallback,
                             const netadr_t &adrRemote, uint32 *punFlags, IKeyCallback *pKeyCallback)
{
    if (adrRemote.GetIP() == 0)
    {
        AssertMsg(false, "CNet::AsyncConnect: somebody is trying to connect to invalid IP 0.0.0.0.");
        return false;
    }
    if (adrRemote.GetIP() == 0xcdcdcdcd)
    {
        AssertMsg(false,
                  "CNet::AsyncConnect: somebody is trying to connect to 0xcdcdcdcd.  Uninitialized memory?");
        return false;
    }
    if (!pConnectionCallback)
    {
        AssertMsg(false, "pConnectionCallback");
        return false;
    }
    const uint32 unFlags = *punFlags;
    if (!(unFlags & k_uNetFlagNoIOCP))
    {
        AssertMsg(false, "IOCP only supported in server build; you must pass flag k_uNetFlagNoIOCP");
        if (unFlags & k_uNetFlagUnboundSocket)
            AssertMsg(false, "Unbound socket cannot be used with IOCP");
        *punFlags |= k_uNetFlagNoIOCP;
    }
    const bool bKeyed = (unFlags & (k_uNetFlagAuthenticate | k_uNetFlagEncrypt)) != 0;
    if (bKeyed)
        AssertMsg(pKeyCallback, "pKeyCallback");
    else
        AssertMsg(!pKeyCallback, "!pKeyCallback");
    if (unFlags & k_uNetFlagsRawAny)
    {
        if (eType != k_ENetConnectionTypeTCP)
        {
            AssertMsg(false, "Raw stream mode only supported for TCP connections");
            return false;
        }
        if (unFlags & k_uNetFlagAuthenticate)
        {
            AssertMsg(false, "Cannot use authentication with raw stream connection");
            return false;
        }
        if (unFlags & k_uNetFlagEncrypt)
        {
            AssertMsg(false, "Cannot use encryption with raw stream connection");
            return false;
        }
    }
    if (eType != k_ENetConnectionTypeTCP)
    {
        AssertMsg(false, "CNet::AsyncConnect: UDP connections are not available in this program");
        return false;
    }
    if (bKeyed)
    {
        // Sending in the clear what the caller asked to protect would be worse than failing.
        AssertMsg(false,
                  "CNet::AsyncConnect: authentication and encryption are not available in this program");
        return false;
    }
    return true;
}
} // namespace

HNetConnection CNet::AsyncConnect(ENetConnectionType eType, IConnectionCallback *pConnectionCallback,
                                  const netadr_t &adrRemote, uint32 unFlags, IKeyCallback *pKeyCallback,
                                  const NetConnectOptions_t *pOptions, IStreamParser *pStreamParser)
{
    if (!NetState().m_bInitialized)
    {
        AssertMsg(false, "CNet class was not initialized");
        return k_HNetConnectionInvalid;
    }
    if (!BConnectArgumentsUsable(eType, pConnectionCallback, adrRemote, &unFlags, pKeyCallback))
        return k_HNetConnectionInvalid;

    HNetConnection hConnection = AllocateConnectionHandle(eType);
    if (hConnection == k_HNetConnectionInvalid)
        return k_HNetConnectionInvalid;
    CTCPConnection *pConnection =
        new CTCPConnection(hConnection, pConnectionCallback, unFlags, pStreamParser);
    NetState().m_mapTCPConnections[hConnection] = pConnection;
    netadr_t adrLocalBind;
    if (pOptions)
        adrLocalBind = pOptions->m_adrLocalBind;
    if (!pConnection->BConnect(adrRemote, adrLocalBind))
    {
        pConnection->SetConnectionCallback(nullptr);
        DeleteConnection(pConnection);
        return k_HNetConnectionInvalid;
    }
    return hConnection;
}

bool CNet::BAsyncSend(HNetConnection hConnection, const void *pvData, uint32 cubData)
{
    CNetConnection *pConnection = FindTCP(hConnection);
    if (!pConnection)
        return false;
    return pConnection->BInternalAsyncSend(pvData, cubData, false);
}

bool CNet::BAsyncDisconnect(HNetConnection hConnection)
{
    return BQueueConnectionWorkItem(hConnection, k_EConnectionWorkItemAsyncDisconnect);
}

bool CNet::BImmediateDisconnect(HNetConnection hConnection)
{
    return BQueueConnectionWorkItem(hConnection, k_EConnectionWorkItemImmediateDisconnect);
}

bool CNet::BDestroyConnection(HNetConnection hConnection)
{
    return BQueueConnectionWorkItem(hConnection, k_EConnectionWorkItemDestroy);
}

bool CNet::BQueueConnectionWorkItem(HNetConnection hConnection, EConnectionWorkItem eKind, int eReason)
{
    if (!FindTCP(hConnection) || !NetState().m_pEncryptPool)
        return false;
    CNetConnectionWorkItem *pItem;
    switch (eKind)
    {
    case k_EConnectionWorkItemAsyncDisconnect:
        pItem = new CNetConnectionAsyncDisconnectWorkItem(hConnection);
        break;
    case k_EConnectionWorkItemImmediateDisconnect:
        pItem = new CNetConnectionImmediateDisconnectWorkItem(hConnection);
        break;
    case k_EConnectionWorkItemDestroy:
        pItem = new CNetConnectionDestroyWorkItem(hConnection);
        break;
    default:
        pItem = new CNetConnectionOnDisconnectWorkItem(hConnection, eReason);
        break;
    }
    bool bQueued = NetState().m_pEncryptPool->AddWorkItem(pItem);
    if (!bQueued && eKind == k_EConnectionWorkItemDestroy)
    {
        // The pool is stopping: destroy now rather than leak the connection.
        if (CNetConnection *pConnection = FindTCP(hConnection))
        {
            pConnection->SetConnectionCallback(nullptr);
            DeleteConnection(pConnection);
        }
    }
    pItem->Release();
    return bQueued;
}

void CNet::OnConnectionWorkItemCompleted(HNetConnection hConnection, EConnectionWorkItem eKind, int eReason)
{
    CNetConnection *pConnection = FindTCP(hConnection);
    if (!pConnection)
        return;
    switch (eKind)
    {
    case k_EConnectionWorkItemAsyncDisconnect:
        pConnection->AsyncDisconnect();
        break;
    case k_EConnectionWorkItemImmediateDisconnect:
        pConnection->Disconnect(k_ENetDisconnectLocal, CNetConnection::k_ENotifyOwnerNow);
        break;
    case k_EConnectionWorkItemDestroy:
        pConnection->Disconnect(k_ENetDisconnectLocal, CNetConnection::k_ENotifyOwnerNot);
        DeleteConnection(pConnection);
        break;
    case k_EConnectionWorkItemOnDisconnect:
        pConnection->GetConnectionCallback()->OnDisconnect(hConnection, eReason);
        break;
    }
}

void CNet::DeleteConnection(CNetConnection *pConnection)
{
    NetState().m_mapTCPConnections.erase(pConnection->GetHandle());
    delete pConnection;
}

bool CNet::BConnectionExists(HNetConnection hConnection)
{
    return FindTCP(hConnection) != nullptr;
}

bool CNet::BIsConnected(HNetConnection hConnection)
{
    CNetConnection *pConnection = FindTCP(hConnection);
    return pConnection && pConnection->BIsConnected();
}

const netadr_t &CNet::GetRemoteAddress(HNetConnection hConnection)
{
    CNetConnection *pConnection = FindTCP(hConnection);
    return pConnection ? pConnection->GetRemoteAddress() : g_adrEmpty;
}

bool CNet::BGetLocalAddress(HNetConnection hConnection, netadr_t *pAdrLocal)
{
    CNetConnection *pConnection = FindTCP(hConnection);
    return pConnection && pConnection->BGetLocalAddress(pAdrLocal);
}

void CNet::ClearConnectionCallback(IConnectionCallback *pCallback)
{
    if (!pCallback)
        return;
    for (auto &entry : NetState().m_mapTCPConnections)
    {
        if (entry.second->GetConnectionCallback() == pCallback)
            entry.second->SetConnectionCallback(nullptr);
    }
    for (auto it = NetState().m_mapHandleCallbacks.begin(); it != NetState().m_mapHandleCallbacks.end();)
    {
        if (it->second == pCallback)
            it = NetState().m_mapHandleCallbacks.erase(it);
        else
            ++it;
    }
}

CNetConnection *CNet::FindConnection(HNetConnection hConnection)
{
    return FindTCP(hConnection);
}

int CNet::GetConnectionCount()
{
    return (int)NetState().m_mapTCPConnections.size();
}

void CNet::AddToPollList(CNetConnection *pConnection)
{
    NetState().m_vecPollList.push_back(pConnection->GetHandle());
}

void CNet::RemoveFromPollList(CNetConnection *pConnection)
{
    // The entry goes on the next poll pass (it no longer resolves as a polled connection);
    // marking it 0 keeps the walk of a pass in progress valid.
    for (HNetConnection &hEntry : NetState().m_vecPollList)
    {
        if (hEntry == pConnection->GetHandle())
        {
            hEntry = k_HNetConnectionInvalid;
            break;
        }
    }
}

bool CNet::BFrameHandleCompletedWorkItems(CLimitTimer &limitTimer)
{
    NetState_t &state = NetState();
    if (!state.m_pEncryptPool)
        return false;
    bool bMoreEncrypt = state.m_pEncryptPool->BDispatchCompletedWorkItems(limitTimer);
    bool bMoreResolver = state.m_pResolverPool->BDispatchCompletedWorkItems(limitTimer);
    return bMoreEncrypt || bMoreResolver;
}

bool CNet::BFrameFuncPollConnections(CLimitTimer &limitTimer)
{
    NetState_t &state = NetState();
    std::vector<HNetConnection> &vecPoll = state.m_vecPollList;
    // Polling resumes where the previous call stopped, so that a busy connection at the
    // head of the list cannot starve the others.
    size_t cEntries = vecPoll.size();
    size_t iStart = state.m_iNextPoll < cEntries ? state.m_iNextPoll : 0;
    for (size_t n = 0; n < cEntries && n < vecPoll.size(); ++n)
    {
        size_t i = (iStart + n) % vecPoll.size();
        HNetConnection hConnection = vecPoll[i];
        CNetConnection *pConnection = FindTCP(hConnection);
        if (pConnection && pConnection->GetPollRefCount() > 0)
            pConnection->BPollConnection();
        if (limitTimer.BLimitReached())
        {
            state.m_iNextPoll = i + 1;
            return true;
        }
    }
    // Drop the entries that went away.
    size_t iWrite = 0;
    for (size_t i = 0; i < vecPoll.size(); ++i)
    {
        CNetConnection *pConnection = FindTCP(vecPoll[i]);
        if (pConnection && pConnection->GetPollRefCount() > 0)
            vecPoll[iWrite++] = vecPoll[i];
    }
    vecPoll.resize(iWrite);
    state.m_iNextPoll = 0;
    return false;
}

bool CNet::BFrameFuncWakeUpConnections(CLimitTimer &)
{
    // Nothing in this program asks for a connection to be woken at a time: the TCP
    // connections are polled every frame.
    return false;
}

bool CNet::BFrameFuncRunHosts(CLimitTimer &)
{
    // The host table belongs to the datagram layer, which this program does not have.
    return false;
}

bool CNet::BSetSetting(const char *pchName, const char *pchValue)
{
    for (NetSetting_t &setting : g_rgNetSettings)
    {
        if (pchName && Q_stricmp(setting.m_pchName, pchName) == 0)
        {
            setting.m_strValue = pchValue ? pchValue : setting.m_pchDefault;
            return true;
        }
    }
    return false;
}

const char *CNet::GetSetting(const char *pchName)
{
    for (const NetSetting_t &setting : g_rgNetSettings)
    {
        if (pchName && Q_stricmp(setting.m_pchName, pchName) == 0)
            return setting.m_strValue.Get();
    }
    return nullptr;
}

int64 CNet::GetSettingInt(const char *pchName)
{
    const char *pchValue = GetSetting(pchName);
    return pchValue ? (int64)Q_atoi(pchValue) : 0;
}

int64 CNet::GetOutstandingSendsAllConnections()
{
    return sm_cOutstandingSendsAllConnections.load();
}
int64 CNet::GetOutstandingBytesAllConnections()
{
    return sm_cubOutstandingAllConnections.load();
}
uint32 CNet::GetInvalidHeaderCount()
{
    return sm_cInvalidHeaders.load();
}
CWorkThreadPool *CNet::GetEncryptPool()
{
    return NetState().m_pEncryptPool;
}
CWorkThreadPool *CNet::GetResolverPool()
{
    return NetState().m_pResolverPool;
}
IStreamParser *CNet::GetDefaultStreamParser()
{
    return &g_Ferro3StreamParser;
}

namespace
{
CBaseFrameFunction *g_pRunConnectionsFunction = nullptr;
CFrameFunctionMgr *g_pTCPFrameFunctionMgr = nullptr;
} // namespace

void TCPConnectionGlobalInit(bool bClientMode, CFrameFunctionMgr &frameFunctionMgr)
{
    if (g_pRunConnectionsFunction)
        return;
    CNet::BInit(bClientMode, &frameFunctionMgr);
    g_pTCPFrameFunctionMgr = &frameFunctionMgr;
    g_pRunConnectionsFunction =
        frameFunctionMgr.RegisterStatic(&CTCPConnection::BFrameFuncRunConnections,
                                        "CTCPConnection::BFrameFuncRunConnections", k_EFrameTypeMain);
}

void TCPConnectionGlobalShutdown()
{
    if (g_pRunConnectionsFunction)
    {
        if (g_pRunConnectionsFunction->GetOwner() == g_pTCPFrameFunctionMgr)
            g_pTCPFrameFunctionMgr->Deregister(g_pRunConnectionsFunction);
        delete g_pRunConnectionsFunction;
        g_pRunConnectionsFunction = nullptr;
    }
    CNet::Shutdown();
}
