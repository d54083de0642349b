// TLS placeholders. This system has no TLS: the client keeps a context per client (it
// names no certificate or key), and a secure connection creates a TLS connection object
// whose handshake never completes, so the request ends by its network time-out.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/refcount.h"

// What a TLS connection would call on its owner, in this order.
class ITLSConnectionCallback
{
public:
    virtual ~ITLSConnectionCallback() {}
    virtual void RecvPlaintext(const void *pvData, uint32 cubData) = 0;
    virtual bool BSendCiphertext(const void *pvData, uint32 cubData) = 0;
    virtual void OnTLSFailure(const char *pchResultName, int nResult) = 0;
    virtual void OnTLSHandshakeCompleted() = 0;
    virtual void OnTLSConnectionClosed() = 0;
};

// The client's TLS context (reference-counted); empty.
class CTLSContext : public CRefCountThreadSafe
{
};

// A TLS connection over a TCP connection: creation and a handshake start that does nothing.
class CTLSConnection : public CRefCountThreadSafe
{
public:
    CTLSConnection(CTLSContext *pContext, ITLSConnectionCallback *pCallback)
        : m_pContext(pContext), m_pCallback(pCallback), m_bHandshakeStarted(false)
    {
    }
    void StartHandshake() { m_bHandshakeStarted = true; }
    // Ciphertext from the peer: with no TLS there is nothing to decrypt it with.
    void RecvCiphertext(const void *, uint32) {}

private:
    CTLSContext *m_pContext;
    ITLSConnectionCallback *m_pCallback;
    bool m_bHandshakeStarted;
};
