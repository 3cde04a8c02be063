#pragma once

#include <QtGlobal>
#include <array>

namespace vexmora::meter {

struct ByteCounts
{
    quint64 recv = 0;
    quint64 sent = 0;

    bool isZero() const { return recv == 0 && sent == 0; }
    quint64 total() const { return recv + sent; }
    ByteCounts &operator+=(const ByteCounts &other)
    {
        recv += other.recv;
        sent += other.sent;
        return *this;
    }
};

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
struct SocketRecord
{
    quint64 cookie = 0;
    quint32 inode = 0; // 0 once no file descriptor refers to it (closed, or a destroy message)
    quint8 state = 0;  // the kernel's TCP state (TCP_ESTABLISHED, TCP_LISTEN, ...)
    IpAddress localAddress;
    IpAddress remoteAddress;
    quint16 localPort = 0;
    quint16 remotePort = 0;
    bool hasCounters = false; // false when tcp_info was missing or too short
    ByteCounts counters;      // payload bytes since the socket was created

    bool isListening() const;
    bool sameEndpoints(const SocketRecord &other) const
    {
        return localPort == other.localPort && remotePort == other.remotePort &&
               localAddress == other.localAddress && remoteAddress == other.remoteAddress;
    }
};

} // namespace vexmora::meter
