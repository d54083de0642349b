// The bytes of an HTTP/1.1 request, and the default headers the client gives every
// request before it is first sent.
#pragma once

#include "foundation/basetypes.h"

class CHTTPClientRequest;
class CHTTPRequest;
class CUtlBuffer;

// Adds the default headers (and turns POST parameters into the body): main thread, once,
// before the request is first dispatched.
void HTTPPrepareRequestHeaders(CHTTPClientRequest *pRequest);
// Appends the GET parameters as a query: "?", then name=value pairs joined by "&", each
// URL-encoded (nothing without parameters).
void HTTPWriteQueryString(const CHTTPRequest *pRequest, CUtlBuffer &buf);
// Appends the request line, the headers and the empty line; the body is sent after them
// on its own.
void HTTPWriteRequestHead(const CHTTPClientRequest *pRequest, CUtlBuffer &buf);
