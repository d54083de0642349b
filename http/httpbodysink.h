// IHTTPBodySink: a receiver that takes a response body as it arrives instead of the
// response's body buffer, so that a body of any size passes through bounded memory (a
// package goes straight into its file on disk).
//
// A request carries at most one sink (CHTTPClientRequest::SetBodySink; the redirected
// request carries it on). For every response with a body the connection asks the sink
// first; a body the sink declines stays in the response, under the usual limits (a
// redirect's page, an error page). A declined body and a refused one differ: a refusal
// fails the request at once.
//
// Thread: the main thread (the connection's) calls it; the sink publishes what another
// thread reads of it through its own atomics. Reference-counted: the request holds one
// reference.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/refcount.h"

class CHTTPClientResponse;

class IHTTPBodySink : public CRefCountThreadSafe
{
public:
    enum EBodyStart
    {
        k_EBodyStartTake,    // the body bytes come to BReceiveBody
        k_EBodyStartDecline, // the response keeps its body, as without a sink
        k_EBodyStartRefuse,  // the request fails now
    };

    // The status line and headers are in; cubLength is the announced body length, -1 when
    // the body ends with its last chunk or with the connection. Called again for every
    // response of the request (a redirect, a request sent again on another connection).
    virtual EBodyStart BeginBody(CHTTPClientResponse *pResponse, int64 cubLength) = 0;
    // The next bytes of a taken body, in order. False refuses the rest: the request fails.
    virtual bool BReceiveBody(const void *pubData, uint32 cubData) = 0;
};
