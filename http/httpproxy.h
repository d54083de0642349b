// The HTTP client's proxy rules: whether a host bypasses the proxy, how a bypass list and
// a proxy setting are read.
//
// Thread: any; these functions touch only their arguments (the proxy address lookup
// blocks, so it belongs on a work thread).
#pragma once

#include "foundation/utlstring.h"
#include "foundation/utlvector.h"
#include "net/netadr.h"

// Whether the request host (a name or dotted quad, possibly with ":port") goes direct
// under the bypass list. Entries: "<local>" (exactly) matches "localhost" and "127.0.0.1";
// any other entry, after everything up to its first "//" is dropped, matches the host
// without regard to case, or, in the form "a.b.c.d/n" with n from 1 to 32, every IPv4
// host whose top n bits agree with it. Wildcards mean nothing. An empty host or list
// excludes nothing.
bool BIsHostExcludedFromProxy(const char *pchHost, const CUtlVector<CUtlString> &vecExcludedHosts);

// Appends the entries of a bypass list separated by ';' and ',': every piece before a
// separator (also an empty one), and the piece after the last separator when not empty.
void SplitProxyBypassList(const char *pchBypass, CUtlVector<CUtlString> &vecExcludedHosts);

// The first proxy of a proxy setting ("host:port", optionally "scheme://" before it, more
// entries after ';' or white space), looked up (blocking). Port 80 when none is given.
// False, with the address cleared, when there is none or it does not resolve.
bool BResolveProxyAddress(const char *pchProxy, netadr_t *pAdrProxy);
