// TCP socket stream: the byte stream of a LINK_TCPIP link, a TCP connection
// to a network-attached device.
//
// aStream_CreateSocket (declared in aStream.h) connects at once; every
// failure gives aErrResource and leaves *out nullptr.
//
// Reading waits up to aSOCKET_READ_WAIT_MS for a byte, then answers
// aErrNotReady (an idle link's reader sleeps in poll() rather than spinning).
// A connection the peer has reset or closed is replaced by a new connection
// to the same address inside the read; when that reconnect fails its code
// (usually aErrConnection) is returned, and every later read and write of
// the stream answers aErrConnection.
//
// Writing sends everything, retrying a socket that cannot take more every
// aSOCKET_RETRY_DELAY_MS, at most aSOCKET_MAX_SEND_RETRY times; then the rest
// is dropped and the write answers aErrWrite. A broken connection is
// reconnected once per failed send.
//
// Connecting waits at most aSOCKET_CONNECT_WAIT_MS.
#pragma once

#include "aStream.h"

#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
// Short enough that stopping a link (which joins its reader) stays quick,
// long enough that an idle reader wakes only fifty times a second.
#define aSOCKET_READ_WAIT_MS 20
// Pace of reconnects to a peer that accepts and drops every connection.
#define aSOCKET_RECONNECT_PACE_MS 100
#define aSOCKET_CONNECT_WAIT_MS 5000
