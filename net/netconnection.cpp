#include "net/netconnection.h"

#include "foundation/dbg.h"

namespace
{
// Where the calls of a connection whose owner went away end up.
class CEmptyConnectionCallback : public IConnectionCallback
{
public:
    void OnConnect(HNetConnection) override {}
    void OnConnectFailed(HNetConnection, int) override {}
    void OnDisconnect(HNetConnection, int) override {}
    void RecvPkt(HNetConnection, const void *, uint32) override {}
    void RecvDatagram(HNetConnection, const void *, uint32) override {}
    void OnWakeUp(HNetConnection) override {}
};

CEmptyConnectionCallback g_EmptyConnectionCallback;
} // namespace

CNetConnection::CNetConnection(HNetConnection hConnection, IConnectionCallback *pConnectionCallback,
                               uint32 unFlags, IStreamParser *pStreamParser)
    : m_hConnection(hConnection), m_EConnectionState(k_EConnectionStateUnconnected), m_unFlags(unFlags),
      m_pConnectionCallback(pConnectionCallback ? pConnectionCallback : &g_EmptyConnectionCallback),
      m_pStreamParser(pStreamParser ? pStreamParser : CNet::GetDefaultStreamParser()), m_cRefCountPolling(0)
{
}

CNetConnection::~CNetConnection()
{
    while (m_cRefCountPolling > 0)
        RemoveFromPollList();
}

void CNetConnection::SetConnectionCallback(IConnectionCallback *pCallback)
{
    m_pConnectionCallback = pCallback ? pCallback : &g_EmptyConnectionCallback;
}

bool CNetConnection::BHasEmptyCallback() const
{
    return m_pConnectionCallback == &g_EmptyConnectionCallback;
}

void CNetConnection::AddToPollList()
{
    if (m_cRefCountPolling++ == 0)
        CNet::AddToPollList(this);
}

void CNetConnection::RemoveFromPollList()
{
    if (m_cRefCountPolling <= 0)
    {
        AssertMsg(false, "m_cRefCountPolling > 0");
        return;
    }
    if (--m_cRefCountPolling == 0)
        CNet::RemoveFromPollList(this);
}
