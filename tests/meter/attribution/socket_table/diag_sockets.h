#pragma once
// Hand-made socket records for the tests of the accounting.

#include "diag_socket.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>

namespace vexmora::meter::test {

inline IpAddress ip(const char *text)
{
    const int family = std::strchr(text, ':') ? AF_INET6 : AF_INET;
    quint8 raw[16];
    EXPECT_EQ(::inet_pton(family, text, raw), 1) << text;
    return IpAddress::fromRaw(family, raw);
}

// An established connection from 198.51.100.1:localPort to remote:443.
inline DiagSocket tcp(quint64 cookie, quint32 inode, ByteCounts counters, quint16 localPort = 40000,
                      const char *remote = "203.0.113.9")
{
    DiagSocket record;
    record.cookie = cookie;
    record.inode = inode;
    record.state = 1; // TCP_ESTABLISHED
    record.localAddress = ip("198.51.100.1");
    record.localPort = localPort;
    record.remoteAddress = ip(remote);
    record.remotePort = 443;
    record.hasCounters = true;
    record.counters = counters;
    return record;
}

} // namespace vexmora::meter::test
