// Hand-made TCP segments, for the cases where a socket can no longer send.
#include "raw_segments.h"

#include <cstring>
#include <gtest/gtest.h>
#include <netinet/ip6.h>
#include <netinet/tcp.h>
#include <unistd.h>
#include <vector>

namespace kerneltest {

namespace {

// NOP, NOP, timestamps (kind 8, 10 bytes): value 1, echo 1.
constexpr unsigned char kTimestamps[12] = {1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 1};

// The ones' complement sum of TCP's checksum.
quint32 onesSum(const void *data, std::size_t bytes, quint32 sum = 0)
{
    const auto *octets = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < bytes; i += 2)
        sum += quint32(octets[i]) << 8 | (i + 1 < bytes ? octets[i + 1] : 0);
    return sum;
}

quint16 folded(quint32 sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

} // namespace

void sendRawSegments(const Address &from, const Address &to, int count, std::size_t payload)
{
    const bool v4 = from.family() == AF_INET;
    std::vector<unsigned char> segment(sizeof(tcphdr) + sizeof kTimestamps + payload, 'f');
    auto *tcp = reinterpret_cast<tcphdr *>(segment.data());
    *tcp = tcphdr{};
    std::memcpy(segment.data() + sizeof(tcphdr), kTimestamps, sizeof kTimestamps);
    tcp->source = reinterpret_cast<const sockaddr_in &>(from.storage).sin_port;
    tcp->dest = reinterpret_cast<const sockaddr_in &>(to.storage).sin_port;
    tcp->seq = htonl(1);
    tcp->doff = (sizeof(tcphdr) + sizeof kTimestamps) / 4;
    tcp->ack = tcp->psh = 1;
    tcp->window = htons(512);
    Address source = from, target = to; // raw: no ports
    reinterpret_cast<sockaddr_in &>(source.storage).sin_port = 0;
    reinterpret_cast<sockaddr_in &>(target.storage).sin_port = 0;
    const int raw = ::socket(from.family(), SOCK_RAW, IPPROTO_TCP);
    ASSERT_GE(raw, 0);
    ASSERT_EQ(::bind(raw, source.sockaddr(), source.length), 0);
    if (v4) { // the pseudo header: both addresses, the protocol, the length
        const auto &sourceIp = reinterpret_cast<const sockaddr_in &>(from.storage).sin_addr;
        const auto &targetIp = reinterpret_cast<const sockaddr_in &>(to.storage).sin_addr;
        const quint32 sum =
            onesSum(&sourceIp, 4, onesSum(&targetIp, 4, IPPROTO_TCP + segment.size()));
        tcp->check = htons(folded(onesSum(segment.data(), segment.size(), sum)));
    } else { // the kernel sums it at this offset
        const int offset = offsetof(tcphdr, check);
        ASSERT_EQ(::setsockopt(raw, IPPROTO_IPV6, IPV6_CHECKSUM, &offset, sizeof offset), 0);
    }
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(
            ::sendto(raw, segment.data(), segment.size(), 0, target.sockaddr(), target.length),
            ssize_t(segment.size()));
    ::close(raw);
}

} // namespace kerneltest
