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

const SocketRecord &connectedTo(const DiagBatch &batch, quint16 remotePort)
{
    for (const SocketRecord &record : batch.sockets) {
        if (record.remotePort == remotePort)
            return record;
    }
    static const SocketRecord none;
    ADD_FAILURE() << "no socket connected to port " << remotePort;
    return none;
}

// The offset of the first message's tcp_info attribute header.
int firstInfoAttribute(const QByteArray &bytes)
{
    for (int at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(inet_diag_msg)); at + 4 <= bytes.size();) {
        const auto *attribute = reinterpret_cast<const nlattr *>(bytes.constData() + at);
        if (attribute->nla_type == INET_DIAG_INFO)
            return at;
        at += NLA_ALIGN(attribute->nla_len);
    }
    return -1;
}

TEST(DiagParser, RecordedDumpAndDestroyMessagesGiveEndpointsCountersAndCookies)
{
    const DiagBatch dump = parse(recorded("tcp-dump.bin"));
    EXPECT_TRUE(dump.done);
    EXPECT_EQ(dump.malformed, 0u);
    ASSERT_EQ(dump.sockets.size(), 6u); // per family: listener, client, accepted
    const SocketRecord &client4 = connectedTo(dump, 40001);
    EXPECT_TRUE(client4.localAddress.v4 && client4.remoteAddress.isLoopback());
    EXPECT_EQ(client4.state, 1) << "TCP_ESTABLISHED";
    EXPECT_NE(client4.inode, 0u);
    EXPECT_EQ(client4.counters.sent, 1000u);
    EXPECT_EQ(client4.counters.recv, 250u);
    const SocketRecord &client6 = connectedTo(dump, 40002);
    EXPECT_FALSE(client6.remoteAddress.v4);
    EXPECT_TRUE(client6.remoteAddress.isLoopback());
    EXPECT_EQ(client6.counters.sent, 2000u);
    EXPECT_EQ(std::count_if(dump.sockets.begin(), dump.sockets.end(),
                            [](const SocketRecord &r) { return r.isListening(); }),
              2);

    const DiagBatch destroyed = parse(recorded("tcp-destroy.bin"));
    ASSERT_EQ(destroyed.sockets.size(), 2u);
    const SocketRecord &closed = connectedTo(destroyed, 40001);
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

TEST(DiagParser, UnknownAttributeIsSkippedAndAnOverlongOneCounted)
{
    QByteArray bytes = recorded("tcp-dump.bin");
    const int info = firstInfoAttribute(bytes);
    ASSERT_GT(info, 0);
    auto *attribute = reinterpret_cast<nlattr *>(bytes.data() + info);

    attribute->nla_type = 0x7f;
    DiagBatch batch = parse(bytes);
    EXPECT_EQ(batch.malformed, 0u);
    EXPECT_FALSE(batch.sockets.front().hasCounters);
    EXPECT_TRUE(batch.sockets.back().hasCounters);

    attribute->nla_type = INET_DIAG_INFO;
    attribute->nla_len = 0xfff0;
    batch = parse(bytes);
    EXPECT_EQ(batch.malformed, 1u);
    EXPECT_EQ(batch.sockets.size(), 6u) << "the socket is kept, without counters";
    EXPECT_FALSE(batch.sockets.front().hasCounters);
}

// The first recorded message alone, its tcp_info cut to infoSize bytes.
QByteArray withTcpInfoOf(std::size_t infoSize, quint64 acked)
{
    QByteArray bytes = recorded("tcp-dump.bin");
    const int info = firstInfoAttribute(bytes);
    reinterpret_cast<tcp_info *>(bytes.data() + info + NLA_HDRLEN)->tcpi_bytes_acked = acked;
    reinterpret_cast<nlattr *>(bytes.data() + info)->nla_len = NLA_HDRLEN + infoSize;
    bytes.truncate(info + NLA_HDRLEN + int(infoSize));
    reinterpret_cast<nlmsghdr *>(bytes.data())->nlmsg_len = bytes.size();
    return bytes;
}

TEST(DiagParser, ShorterTcpInfoOfOlderKernelsFallsBackToAckedBytesThenToNoCounters)
{
    const SocketRecord full = parse(recorded("tcp-dump.bin")).sockets.front();
    DiagBatch batch = parse(withTcpInfoOf(offsetof(tcp_info, tcpi_bytes_sent), 777));
    ASSERT_EQ(batch.sockets.size(), 1u);
    EXPECT_EQ(batch.malformed, 0u);
    EXPECT_EQ(batch.sockets.front().counters.sent, 777u);
    EXPECT_EQ(batch.sockets.front().counters.recv, full.counters.recv);

    batch = parse(withTcpInfoOf(offsetof(tcp_info, tcpi_bytes_received), 777));
    ASSERT_EQ(batch.sockets.size(), 1u);
    EXPECT_FALSE(batch.sockets.front().hasCounters);
}

} // namespace
