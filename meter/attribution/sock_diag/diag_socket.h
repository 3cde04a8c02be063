#pragma once

#include "socket_record.h"

#include <QtGlobal>
#include <array>

namespace vexmora::meter {

// An IPv4 or IPv6 address. IPv4-mapped IPv6 addresses are kept as IPv4, so
// that a dual-stack socket compares equal to the address it really uses.
struct IpAddress
{
    std::array<quint8, 16> bytes{}; // IPv4 in the first four
    bool v4 = false;

    // raw holds 4 (AF_INET) or 16 (AF_INET6) bytes in network order.
    static IpAddress fromRaw(int family, const void *raw);
    bool isLoopback() const;
    bool isUnspecified() const;
    bool operator==(const IpAddress &other) const { return v4 == other.v4 && bytes == other.bytes; }
};

// One TCP socket as the kernel's socket diagnostics describe it.
struct DiagSocket
{
    quint64 cookie = 0;
    quint32 inode = 0; // 0 once no file descriptor refers to it (closed, or a destroy message)
    quint8 state = 0;  // the kernel's TCP state (TCP_ESTABLISHED, TCP_LISTEN, ...)
    IpAddress localAddress;
    IpAddress remoteAddress;
    quint16 localPort = 0;
    quint16 remotePort = 0;
    bool hasCounters = false; // false when tcp_info was missing or too short
    ByteCounts counters; // payload bytes since the socket was created, retransmissions included
    // Segments since the socket was created (32 bits: they wrap), and the
    // bytes of headers each carries on the wire; 0 on kernels without them.
    quint32 segmentsIn = 0;
    quint32 segmentsOut = 0;
    quint16 headerBytes = 0;

    bool isListening() const;
    // What the socket put on the wire since it showed earlier, or since it
    // was created: payload and the segments' headers.
    ByteCounts wireSince(const DiagSocket &earlier) const;
    ByteCounts wire() const { return wireSince(DiagSocket{}); }
    bool sameEndpoints(const DiagSocket &other) const
    {
        return localPort == other.localPort && remotePort == other.remotePort &&
               localAddress == other.localAddress && remoteAddress == other.remoteAddress;
    }
};

} // namespace vexmora::meter
