// Names of the socket error codes (foundation/platform/socket.h numbers them as Windows
// does), for the network layer's log lines.
#pragma once

// "WSACONNRESET", "ERROR_CONNECTION_REFUSED", ..., or "[no name available]".
const char *NetErrorName(int nError);
