// The parser against a sock_diag dump recorded from the kernel
// (data/record_diag.py) and variants of its tcp_info attribute.
#include "diag_parser.h"
#include "netlink_dump.h"

#include <QFile>
#include <cerrno>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/tcp.h>
#include <sys/socket.h>

using namespace vexmora::meter;

namespace {

QByteArray recordedDump()
{
    QFile file(QStringLiteral(VXATTR_TEST_DATA "/tcp-dump.bin"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
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

TEST(DiagParser, RecordedDumpWholeAndCut)
{
    const QByteArray bytes = recordedDump();
    const DiagBatch dump = parse(bytes);
    EXPECT_TRUE(dump.done);
    EXPECT_EQ(dump.malformed, 0u);
    ASSERT_EQ(dump.sockets.size(), 1u);
    const DiagSocket &listener = dump.sockets.front();
    EXPECT_TRUE(listener.isListening() && listener.localAddress.isLoopback());
    EXPECT_FALSE(listener.localAddress.v4);
    EXPECT_EQ(listener.localPort, 40002);
    EXPECT_NE(listener.inode, 0u);
    EXPECT_TRUE(listener.hasCounters);
    // Cut inside the socket's message, or inside the last one's header.
    EXPECT_EQ(parse(bytes.left(100)).malformed, 1u);
    EXPECT_EQ(parse(bytes.left(bytes.size() - 10)).malformed, 1u);
}

// A control message carrying only its int: the dump's end, or an error reply
// cut down to its errno.
TEST(DiagParser, DoneAndErrorCarryTheErrnoOfADumpThatFailed)
{
    const struct
    {
        quint16 type;
        int value;
        bool done;
        int error;
    } cases[] = {
        {NLMSG_DONE, 0, true, 0},
        {NLMSG_DONE, -EINTR, true, EINTR},
        {NLMSG_ERROR, -EBUSY, false, EBUSY},
    };
    for (const auto &c : cases) {
        struct
        {
            nlmsghdr header;
            int value;
        } message{{sizeof message, c.type, 0, 1, 0}, c.value};
        const DiagBatch batch =
            parse(QByteArray(reinterpret_cast<const char *>(&message), sizeof message));
        EXPECT_EQ(batch.done, c.done) << c.type << ' ' << c.value;
        EXPECT_EQ(batch.error, c.error) << c.type << ' ' << c.value;
        EXPECT_EQ(batch.malformed, 0u) << c.type << ' ' << c.value;
    }
}

// The recorded socket alone (IPv6), its tcp_info attribute changed: bytes
// received 555, acknowledged 777, sent 1000 of which 100 again, in 10 segments
// in and 20 out with the timestamp option.
QByteArray withTcpInfo(quint16 type, std::size_t keptInfoBytes, quint16 length)
{
    QByteArray bytes = recordedDump();
    int info = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(inet_diag_msg));
    while (reinterpret_cast<const nlattr *>(bytes.constData() + info)->nla_type != INET_DIAG_INFO)
        info += NLA_ALIGN(reinterpret_cast<const nlattr *>(bytes.constData() + info)->nla_len);
    auto *tcp = reinterpret_cast<tcp_info *>(bytes.data() + info + NLA_HDRLEN);
    tcp->tcpi_bytes_received = 555;
    tcp->tcpi_bytes_acked = 777;
    tcp->tcpi_bytes_sent = 1000;
    tcp->tcpi_bytes_retrans = 100;
    tcp->tcpi_segs_in = 10;
    tcp->tcpi_segs_out = 20;
    tcp->tcpi_options = TCPI_OPT_TIMESTAMPS;
    *reinterpret_cast<nlattr *>(bytes.data() + info) = {length, type};
    bytes.truncate(info + NLA_HDRLEN + int(keptInfoBytes));
    reinterpret_cast<nlmsghdr *>(bytes.data())->nlmsg_len = bytes.size();
    return bytes;
}

// Parses withTcpInfo() and checks what is kept of the socket and what it put
// on the wire; the attribute's length is what is kept of it unless given.
void expectParsed(quint16 type, std::size_t kept, unsigned malformed, bool hasCounters,
                  quint64 recv = 0, quint64 sent = 0, quint16 length = 0)
{
    const DiagBatch batch = parse(withTcpInfo(type, kept, length ? length : NLA_HDRLEN + kept));
    EXPECT_EQ(batch.malformed, malformed);
    ASSERT_EQ(batch.sockets.size(), 1u) << "the socket is kept in any case";
    EXPECT_EQ(batch.sockets[0].hasCounters, hasCounters);
    const ByteCounts wire = batch.sockets[0].wire();
    EXPECT_EQ(std::make_pair(wire.recv, wire.sent), std::make_pair(recv, sent));
}

TEST(DiagParser, TcpInfoOfEveryLengthAndUnknownOrOverlongAttributes)
{
    const std::size_t full = sizeof(tcp_info);
    // Every segment carries 86 bytes of headers: Ethernet, IPv6, TCP with timestamps.
    constexpr quint64 kIn = 10 * 86, kOut = 20 * 86;
    // Retransmissions are on the wire too.
    expectParsed(INET_DIAG_INFO, full, 0, true, 555 + kIn, 1000 + kOut);
    // Kernels before bytes_sent: sent is what the peer acknowledged; before
    // the segment counts, the payload alone.
    expectParsed(INET_DIAG_INFO, offsetof(tcp_info, tcpi_bytes_sent), 0, true, 555 + kIn,
                 777 + kOut);
    expectParsed(INET_DIAG_INFO, offsetof(tcp_info, tcpi_segs_out), 0, true, 555, 777);
    expectParsed(INET_DIAG_INFO, offsetof(tcp_info, tcpi_bytes_received), 0, false); // too short
    expectParsed(0x7f, full, 0, false);                         // unknown: skipped
    expectParsed(INET_DIAG_INFO, full, 1, false, 0, 0, 0xfff0); // longer than the message
}

// The answers a dump takes whole, and those it refuses: the kernel's own
// (an error, a part too large for the buffer, a table that changed meanwhile)
// and the leftovers of an earlier request, which it skips.
TEST(NetlinkDump, OnlyAWholeAnswerToThisRequestIsTaken)
{
    struct Message
    {
        quint16 type;
        quint16 flags;
        quint32 sequence;
        int value;
    };
    const quint16 kData = NLMSG_MIN_TYPE;
    const struct
    {
        std::vector<Message> messages;
        int receiveFlags;
        bool accepted;
        int taken;
        int error;
    } cases[] = {
        {{{kData, 0, 7, 0}, {NLMSG_DONE, 0, 7, 0}}, 0, true, 1, 0},
        {{{kData, 0, 6, 0}, {kData, 0, 6, 0}, {kData, 0, 7, 0}, {NLMSG_DONE, 0, 7, 0}},
         0,
         true,
         1,
         0},
        {{{kData, NLM_F_DUMP_INTR, 7, 0}, {NLMSG_DONE, 0, 7, 0}}, 0, false, 1, 0},
        {{{kData, 0, 7, 0}, {NLMSG_DONE, 0, 7, 0}}, MSG_TRUNC, false, 0, 0},
        {{{kData, 0, 7, 0}, {NLMSG_ERROR, 0, 7, -EBUSY}}, 0, false, 1, EBUSY},
        {{{kData, 0, 7, 0}, {NLMSG_DONE, 0, 7, -EINTR}}, 0, false, 1, EINTR},
    };
    for (const auto &c : cases) {
        std::vector<char> datagram;
        for (const Message &m : c.messages) {
            const struct
            {
                nlmsghdr header;
                int value;
            } message{{sizeof message, m.type, m.flags, m.sequence, 0}, m.value};
            const char *bytes = reinterpret_cast<const char *>(&message);
            datagram.insert(datagram.end(), bytes, bytes + sizeof message);
        }
        alignas(nlmsghdr) char aligned[256];
        std::copy(datagram.begin(), datagram.end(), aligned);
        DumpReply reply;
        reply.sequence = 7;
        int taken = 0;
        readDumpPart(aligned, datagram.size(), c.receiveFlags, reply,
                     [&taken](const nlmsghdr &) { ++taken; });
        const int index = int(&c - cases);
        EXPECT_TRUE(reply.done) << index;
        EXPECT_EQ(reply.accepted(), c.accepted) << index;
        EXPECT_EQ(taken, c.taken) << index;
        EXPECT_EQ(reply.error, c.error) << index;
    }
}

} // namespace
