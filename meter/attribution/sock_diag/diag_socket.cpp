#include "diag_socket.h"

#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace vexmora::meter {

namespace {

constexpr std::array<quint8, 12> kV4MappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

} // namespace

IpAddress IpAddress::fromRaw(int family, const void *raw)
{
    IpAddress address;
    if (family == AF_INET) {
        address.v4 = true;
        std::memcpy(address.bytes.data(), raw, 4);
        return address;
    }
    std::memcpy(address.bytes.data(), raw, 16);
    if (std::memcmp(address.bytes.data(), kV4MappedPrefix.data(), kV4MappedPrefix.size()) == 0) {
        address.v4 = true;
        std::memmove(address.bytes.data(), address.bytes.data() + 12, 4);
        std::memset(address.bytes.data() + 4, 0, 12);
    }
    return address;
}

bool IpAddress::isLoopback() const
{
    if (v4)
        return bytes[0] == 127;
    static const std::array<quint8, 16> kIpv6Loopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 0, 0, 0, 0, 1};
    return bytes == kIpv6Loopback;
}

bool IpAddress::isUnspecified() const
{
    return bytes == std::array<quint8, 16>{};
}

bool DiagSocket::isListening() const
{
    return state == TCP_LISTEN;
}

ByteCounts DiagSocket::wireSince(const DiagSocket &earlier) const
{
    const ByteCounts from = earlier.hasCounters ? earlier.counters : ByteCounts{};
    const quint64 headersIn = quint64(quint32(segmentsIn - earlier.segmentsIn)) * headerBytes;
    const quint64 headersOut = quint64(quint32(segmentsOut - earlier.segmentsOut)) * headerBytes;
    return {counters.recv - from.recv + headersIn, counters.sent - from.sent + headersOut};
}

} // namespace vexmora::meter
