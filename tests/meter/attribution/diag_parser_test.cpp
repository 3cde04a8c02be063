// The parser against sock_diag messages recorded from the kernel (data/record_diag.py).
#include "diag_parser.h"

#include <QFile>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/tcp.h>

using namespace vexmora::meter;

namespace {

QByteArray recorded(const char *name)
{
    QFile file(QStringLiteral(VXATTR_TEST_DATA "/") + QLatin1String(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll();
}

DiagBatch parse(const QByteArray &bytes)
{
    DiagBatch batch;
    // An exact-size copy, so that the sanitizers see any read past the end.
    const std::vector<char> copy(bytes.begin(), bytes.end());
    parseDiagMessages(copy.data(), copy.size(), batch);
    return batch;
}

SocketRecord connectedTo(const DiagBatch &batch, quint16 remotePort)
{
    for (const SocketRecord &record : batch.sockets) {
        if (record.remotePort == remotePort)
            return record;
    }
    ADD_FAILURE() << "no socket connected to port " << remotePort;
    return {};
}

TEST(DiagParser, RecordedDumpAndDestroyMessagesGiveEndpointsCountersAndCookies)
{
    const DiagBatch dump = parse(recorded("tcp-dump.bin"));
    EXPECT_TRUE(dump.done);
    EXPECT_EQ(dump.malformed, 0u);
    ASSERT_EQ(dump.sockets.size(), 6u); // per family: listener, client, accepted
    EXPECT_EQ(std::count_if(dump.sockets.begin(), dump.sockets.end(),
                            [](const SocketRecord &r) { return r.isListening(); }),
              2);
    const SocketRecord client4 = connectedTo(dump, 40001);
    EXPECT_TRUE(client4.remoteAddress.v4 && client4.remoteAddress.isLoopback());
    EXPECT_NE(client4.inode, 0u);
    EXPECT_EQ(client4.counters.sent, 1000u);
    EXPECT_EQ(client4.counters.recv, 250u);
    const SocketRecord client6 = connectedTo(dump, 40002);
    EXPECT_TRUE(!client6.remoteAddress.v4 && client6.remoteAddress.isLoopback());
    EXPECT_EQ(client6.counters.sent, 2000u);

    const DiagBatch destroyed = parse(recorded("tcp-destroy.bin"));
    ASSERT_EQ(destroyed.sockets.size(), 2u);
    const SocketRecord closed = connectedTo(destroyed, 40001);
    EXPECT_EQ(closed.cookie, client4.cookie);
    EXPECT_EQ(closed.inode, 0u);
    EXPECT_EQ(closed.counters.sent, 1000u);
    EXPECT_EQ(closed.counters.recv, 251u) << "bytes_received counts the peer's FIN too";
}

TEST(DiagParser, EveryCutOfTheRecordingInsideAMessageIsCounted)
{
    const QByteArray bytes = recorded("tcp-dump.bin");
    std::vector<int> boundaries;
    for (int at = 0; at < bytes.size();
         at += NLMSG_ALIGN(reinterpret_cast<const nlmsghdr *>(bytes.constData() + at)->nlmsg_len))
        boundaries.push_back(at);
    for (int size = 0; size < bytes.size(); ++size) {
        const DiagBatch batch = parse(bytes.left(size));
        const bool atBoundary = std::count(boundaries.begin(), boundaries.end(), size) > 0;
        EXPECT_EQ(batch.malformed, atBoundary ? 0u : 1u) << "cut at " << size;
        EXPECT_LE(batch.sockets.size(), 6u);
    }
}

// The first recorded message alone, its tcp_info attribute changed.
QByteArray firstMessageWithTcpInfo(quint16 type, quint16 length, std::size_t keptInfoBytes)
{
    QByteArray bytes = recorded("tcp-dump.bin");
    int info = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(inet_diag_msg));
    while (reinterpret_cast<const nlattr *>(bytes.constData() + info)->nla_type != INET_DIAG_INFO)
        info += NLA_ALIGN(reinterpret_cast<const nlattr *>(bytes.constData() + info)->nla_len);
    reinterpret_cast<tcp_info *>(bytes.data() + info + NLA_HDRLEN)->tcpi_bytes_acked = 777;
    *reinterpret_cast<nlattr *>(bytes.data() + info) = {length, type};
    bytes.truncate(info + NLA_HDRLEN + int(keptInfoBytes));
    reinterpret_cast<nlmsghdr *>(bytes.data())->nlmsg_len = bytes.size();
    return bytes;
}

TEST(DiagParser, UnknownOverlongAndShortTcpInfoAttributes)
{
    const std::size_t full = sizeof(tcp_info), withoutSent = offsetof(tcp_info, tcpi_bytes_sent);
    DiagBatch batch = parse(firstMessageWithTcpInfo(0x7f, NLA_HDRLEN + full, full));
    EXPECT_EQ(batch.malformed, 0u) << "an unknown attribute is skipped";
    EXPECT_FALSE(batch.sockets.at(0).hasCounters);

    batch = parse(firstMessageWithTcpInfo(INET_DIAG_INFO, 0xfff0, full));
    EXPECT_EQ(batch.malformed, 1u);
    ASSERT_EQ(batch.sockets.size(), 1u) << "the socket is kept, without counters";
    EXPECT_FALSE(batch.sockets.at(0).hasCounters);

    // Kernels before bytes_sent: sent is what the peer acknowledged.
    batch = parse(firstMessageWithTcpInfo(INET_DIAG_INFO, NLA_HDRLEN + withoutSent, withoutSent));
    EXPECT_EQ(batch.malformed, 0u);
    EXPECT_EQ(batch.sockets.at(0).counters.sent, 777u);
    EXPECT_EQ(batch.sockets.at(0).counters.recv,
              parse(recorded("tcp-dump.bin")).sockets.at(0).counters.recv);

    const std::size_t tooShort = offsetof(tcp_info, tcpi_bytes_received);
    batch = parse(firstMessageWithTcpInfo(INET_DIAG_INFO, NLA_HDRLEN + tooShort, tooShort));
    EXPECT_FALSE(batch.sockets.at(0).hasCounters);
}

} // namespace
