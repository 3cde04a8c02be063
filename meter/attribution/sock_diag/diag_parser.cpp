#include "diag_parser.h"

#include <algorithm>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>

namespace vexmora::meter {

namespace {

template <typename T> T readAt(const char *data)
{
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

constexpr std::size_t kReceivedEnd = offsetof(tcp_info, tcpi_bytes_received) + sizeof(quint64);
constexpr std::size_t kSegmentsEnd = offsetof(tcp_info, tcpi_segs_in) + sizeof(quint32);
constexpr std::size_t kSentEnd = offsetof(tcp_info, tcpi_bytes_sent) + sizeof(quint64);

// Headers of one segment on an Ethernet-type link: the link header, the IP
// header without options and the TCP header with the timestamp option (12
// bytes with its padding) when the connection uses it. SACK blocks and the
// handshake's options are not counted.
quint16 segmentHeaderBytes(const DiagSocket &socket, quint8 options)
{
    constexpr quint16 kEthernet = 14, kIpv4 = 20, kIpv6 = 40, kTcp = 20, kTimestamps = 12;
    const quint16 ip = socket.localAddress.v4 ? kIpv4 : kIpv6;
    return kEthernet + ip + kTcp + ((options & TCPI_OPT_TIMESTAMPS) ? kTimestamps : 0);
}

// tcp_info grows with the kernel: bytes_received and bytes_acked came first,
// the segment counts and then bytes_sent later. Sent is every payload byte
// that went out, retransmissions included, as the wire carried them; before
// bytes_sent, the payload the peer acknowledged.
void readTcpInfo(const char *info, std::size_t size, DiagSocket &socket)
{
    if (size < kReceivedEnd)
        return;
    socket.hasCounters = true;
    socket.counters.recv = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_received));
    socket.counters.sent = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_acked));
    if (size >= kSegmentsEnd) {
        socket.segmentsIn = readAt<quint32>(info + offsetof(tcp_info, tcpi_segs_in));
        socket.segmentsOut = readAt<quint32>(info + offsetof(tcp_info, tcpi_segs_out));
        socket.headerBytes =
            segmentHeaderBytes(socket, readAt<quint8>(info + offsetof(tcp_info, tcpi_options)));
    }
    if (size >= kSentEnd)
        socket.counters.sent = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_sent));
}

// Returns false when an attribute was cut short.
bool readAttributes(const char *data, std::size_t size, DiagSocket &record)
{
    std::size_t offset = 0;
    while (size - offset >= NLA_HDRLEN) {
        const auto attribute = readAt<nlattr>(data + offset);
        if (attribute.nla_len < NLA_HDRLEN || attribute.nla_len > size - offset)
            return false;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_INFO)
            readTcpInfo(data + offset + NLA_HDRLEN, attribute.nla_len - NLA_HDRLEN, record);
        offset = std::min(size, offset + NLA_ALIGN(attribute.nla_len));
    }
    return offset == size;
}

void readSocket(const char *payload, std::size_t size, DiagBatch &batch)
{
    if (size < sizeof(inet_diag_msg)) {
        ++batch.malformed;
        return;
    }
    const auto message = readAt<inet_diag_msg>(payload);
    if (message.idiag_family != AF_INET && message.idiag_family != AF_INET6) {
        ++batch.malformed;
        return;
    }
    DiagSocket record;
    std::memcpy(&record.cookie, message.id.idiag_cookie, sizeof record.cookie);
    record.inode = message.idiag_inode;
    record.state = message.idiag_state;
    record.localAddress = IpAddress::fromRaw(message.idiag_family, message.id.idiag_src);
    record.remoteAddress = IpAddress::fromRaw(message.idiag_family, message.id.idiag_dst);
    record.localPort = ntohs(message.id.idiag_sport);
    record.remotePort = ntohs(message.id.idiag_dport);
    const std::size_t attributesAt = NLMSG_ALIGN(sizeof(inet_diag_msg));
    if (size > attributesAt && !readAttributes(payload + attributesAt, size - attributesAt, record))
        ++batch.malformed;
    batch.sockets.push_back(record);
}

// NLMSG_ERROR starts with the errno (negative); NLMSG_DONE carries one too,
// negative when the dump broke off.
void readError(const char *payload, std::size_t size, DiagBatch &batch)
{
    if (size < sizeof(int)) {
        ++batch.malformed;
        return;
    }
    const int error = readAt<int>(payload);
    if (error != 0)
        batch.error = error < 0 ? -error : error;
}

void readDone(const char *payload, std::size_t size, DiagBatch &batch)
{
    batch.done = true;
    if (size >= sizeof(int) && readAt<int>(payload) < 0)
        readError(payload, size, batch);
}

} // namespace

void parseDiagMessages(const char *data, std::size_t size, DiagBatch &batch)
{
    std::size_t offset = 0;
    while (offset < size) {
        if (size - offset < NLMSG_HDRLEN) {
            ++batch.malformed;
            return;
        }
        const auto header = readAt<nlmsghdr>(data + offset);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - offset) {
            ++batch.malformed;
            return;
        }
        const char *payload = data + offset + NLMSG_HDRLEN;
        const std::size_t payloadSize = header.nlmsg_len - NLMSG_HDRLEN;
        switch (header.nlmsg_type) {
        case SOCK_DIAG_BY_FAMILY:
        case TCPDIAG_GETSOCK: // the reply to the original dump request
            readSocket(payload, payloadSize, batch);
            break;
        case NLMSG_DONE:
            readDone(payload, payloadSize, batch);
            break;
        case NLMSG_ERROR:
            readError(payload, payloadSize, batch);
            break;
        default:
            break;
        }
        offset = std::min(size, offset + NLMSG_ALIGN(header.nlmsg_len));
    }
}

} // namespace vexmora::meter
