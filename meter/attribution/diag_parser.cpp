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
constexpr std::size_t kRetransEnd = offsetof(tcp_info, tcpi_bytes_retrans) + sizeof(quint64);

// tcp_info grows with the kernel: bytes_received and bytes_acked came first,
// bytes_sent and bytes_retrans later. Sent is the payload once: bytes_sent
// less its retransmissions, which counts data not acknowledged yet, unlike
// bytes_acked.
void readTcpInfo(const char *info, std::size_t size, SocketRecord &record)
{
    if (size < kReceivedEnd)
        return;
    record.hasCounters = true;
    record.counters.recv = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_received));
    if (size < kRetransEnd) {
        record.counters.sent = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_acked));
        return;
    }
    const auto sent = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_sent));
    const auto retransmitted = readAt<quint64>(info + offsetof(tcp_info, tcpi_bytes_retrans));
    record.counters.sent = sent >= retransmitted ? sent - retransmitted : 0;
}

// Returns false when an attribute was cut short.
bool readAttributes(const char *data, std::size_t size, SocketRecord &record)
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
    SocketRecord record;
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
