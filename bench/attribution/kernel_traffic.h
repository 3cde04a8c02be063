#pragma once

#include <atomic>
#include <functional>

namespace attributionbench {

// Traffic from the calling thread's network namespace to a peer namespace
// (`peerNetns`, a path under /run/netns) at `peerAddress`, for the kernel
// counters' benchmark. Bounded in time and count; each stops by itself.

// A socket created in the namespace `netns`; -1 when that fails.
int socketIn(const char *netns, int domain, int type);

// One TCP stream to a sink in the peer: bits per second received.
double tcpStreamBitsPerSecond(const char *peerNetns, const char *peerAddress, double seconds);

// Datagrams of `payloadBytes` to a sink in the peer, as fast as one thread
// sends them: datagrams per second that arrived.
double udpDatagramsPerSecond(const char *peerNetns, const char *peerAddress, int payloadBytes,
                             double seconds);

// `connections` short TCP connections (100 bytes each way, the peer closes
// first) spread evenly over `seconds` by `clients` threads; calls `tick`
// every `tickMs` meanwhile and once at the end. Returns the connections made.
long churn(const char *peerNetns, const char *peerAddress, long connections, double seconds,
           int clients, int tickMs, const std::function<void()> &tick);

} // namespace attributionbench
