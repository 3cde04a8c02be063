// The programs never stand in the way: every kind of packet still arrives as
// it was sent while they count, and a full map only leaves packets uncounted.
#include "kernel_fixture.h"

#include <QProcess>
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip_icmp.h>
#include <unistd.h>
#include <unordered_set>

using namespace kerneltest;

namespace {

using KernelPassage = KernelCountersTest;

constexpr quint16 kExperimentalEthertype = 0x88b5;

std::vector<char> pattern(std::size_t size)
{
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + 1);
    return bytes;
}

// Sends `size` bytes from one datagram socket to the other's address and
// expects the very same datagram there.
void expectDelivered(int from, int to, const Address &toAddress, std::size_t size)
{
    const std::vector<char> sent = pattern(size);
    ASSERT_EQ(::sendto(from, sent.data(), size, 0, toAddress.sockaddr(), toAddress.length),
              ssize_t(size));
    std::vector<char> received(size + 1);
    ASSERT_EQ(::recv(to, received.data(), received.size(), 0), ssize_t(size)) << "lost";
    received.resize(size);
    EXPECT_EQ(received, sent);
}

// Hop-by-hop and destination options, each a header of 8 bytes (PadN).
void addExtensionHeaders(int fd)
{
    const unsigned char options[8] = {0, 0, 1, 4, 0, 0, 0, 0};
    ASSERT_EQ(::setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, options, sizeof options), 0);
    ASSERT_EQ(::setsockopt(fd, IPPROTO_IPV6, IPV6_DSTOPTS, options, sizeof options), 0);
}

// The link address of a device of another namespace, as a packet socket's.
Address linkAddressOf(const QString &netns, const char *device, quint16 protocol)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"),
             {QStringLiteral("-n"), netns, QStringLiteral("-br"), QStringLiteral("link"),
              QStringLiteral("show"), QString::fromLatin1(device)});
    ip.waitForFinished(10000);
    const QByteArray text = ip.readAllStandardOutput().simplified().split(' ').value(2);
    const QByteArray mac = QByteArray::fromHex(QByteArray(text).replace(':', ""));
    Address result;
    auto &link = reinterpret_cast<sockaddr_ll &>(result.storage);
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(protocol);
    link.sll_ifindex = int(::if_nametoindex("veth0"));
    link.sll_halen = 6;
    std::copy(mac.begin(), mac.end(), link.sll_addr);
    result.length = sizeof link;
    return result;
}

TEST_F(KernelPassage, EveryKindOfPacketArrivesAsSent)
{
    prepareLink(Ipv6::On);
    openCounters();
    const int udp4 = track(udpAt(kAddressA)), udp6 = track(udpAt(kAddressA6));
    addExtensionHeaders(udp6);
    int peer4 = -1, peer6 = -1, peerPacket = -1;
    inB([&] {
        peer4 = track(udpAt(kAddressB));
        peer6 = track(udpAt(kAddressB6));
        peerPacket =
            track(receiving(::socket(AF_PACKET, SOCK_DGRAM, htons(kExperimentalEthertype))));
    });
    addExtensionHeaders(peer6);
    const Address to4B = at(kAddressB, portOf(peer4)), to4A = at(kAddressA, portOf(udp4));
    const Address to6B = at(kAddressB6, portOf(peer6)), to6A = at(kAddressA6, portOf(udp6));

    // Fragments (both ways), extension headers with fragments, empty datagrams.
    for (std::size_t size : {4000, 1000, 0}) {
        SCOPED_TRACE(size);
        expectDelivered(udp4, peer4, to4B, size);
        expectDelivered(peer4, udp4, to4A, size);
        expectDelivered(udp6, peer6, to6B, size);
        expectDelivered(peer6, udp6, to6A, size);
    }

    // A raw socket's echo request, and the reply the peer's kernel sends it.
    const int raw = track(receiving(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)));
    icmphdr echo{};
    echo.type = ICMP_ECHO;
    echo.checksum = htons(quint16(~(ICMP_ECHO << 8)));
    ASSERT_EQ(::sendto(raw, &echo, sizeof echo, 0, to4B.sockaddr(), to4B.length),
              ssize_t(sizeof echo));
    char reply[128];
    ASSERT_EQ(::recv(raw, reply, sizeof reply, 0), ssize_t(20 + sizeof echo)) << "no echo reply";

    // A packet socket's frame passes no cgroup program, yet must arrive.
    const int packet = track(::socket(AF_PACKET, SOCK_DGRAM, htons(kExperimentalEthertype)));
    expectDelivered(packet, peerPacket, linkAddressOf(pair_.b(), "veth1", kExperimentalEthertype),
                    100);

    // Loopback traffic passes and is never counted.
    ASSERT_EQ(shellFailure(QStringLiteral("ip -n %1 link set lo up").arg(pair_.a())), QString());
    const int local = track(udpAt("127.0.0.1"));
    expectDelivered(local, local, at("127.0.0.1", portOf(local)), 1000);

    const SocketsByCookie sockets = live();
    EXPECT_EQ(sockets.count(cookieOf(local)), 0u) << "loopback traffic was counted";
    for (int fd : {udp4, udp6}) {
        ASSERT_EQ(sockets.count(cookieOf(fd)), 1u);
        const KernelSocketCount &counted = sockets.at(cookieOf(fd));
        EXPECT_EQ(counted.payload.sent, 5000u);
        EXPECT_EQ(counted.payload.recv, 5000u);
        EXPECT_EQ(counted.packets.sent, 3u) << "a datagram is counted before it is fragmented";
        EXPECT_EQ(counted.packets.recv, 3u) << "and after it is reassembled";
    }
    ASSERT_EQ(sockets.count(cookieOf(raw)), 1u);
    EXPECT_EQ(sockets.at(cookieOf(raw)).protocol, IPPROTO_ICMP);
    EXPECT_EQ(sockets.at(cookieOf(raw)).payload.sent, sizeof echo);
    EXPECT_EQ(sockets.count(cookieOf(packet)), 0u);
}

TEST_F(KernelPassage, AFullMapLeavesPacketsUncountedNotDropped)
{
    prepareLink(Ipv6::Off);
    counters_.setMaxLiveSockets(1);
    openCounters();
    int peer = -1;
    inB([&] { peer = track(udpAt(kAddressB)); });
    const Address toB = at(kAddressB, portOf(peer));
    const int first = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int second = track(::socket(AF_INET, SOCK_DGRAM, 0));
    expectDelivered(first, peer, toB, 10);
    for (int i = 0; i < 5; ++i)
        expectDelivered(second, peer, toB, 10);
    EXPECT_EQ(counters_.uncountedPackets(), 5u);
    EXPECT_EQ(live().count(cookieOf(second)), 0u);

    // A finished socket makes room.
    const quint64 firstCookie = cookieOf(first);
    ::close(first);
    ASSERT_TRUE(waitFinished({firstCookie}));
    expectDelivered(second, peer, toB, 10);
    EXPECT_EQ(live().count(cookieOf(second)), 1u);
    EXPECT_EQ(counters_.uncountedPackets(), 5u);
}

// Once a minute the meter finishes the entries whose socket is gone: only
// TCP and UDP sockets can be listed, and only those that are not listed are.
TEST_F(KernelPassage, TheSweepFinishesOnlyEntriesOfSocketsThatNoLongerExist)
{
    prepareLink(Ipv6::Off); // ping sockets allowed
    openCounters();
    int peer = -1, listener = -1;
    inB([&] {
        peer = track(udpAt(kAddressB));
        listener = track(listenAt(kAddressB));
    });
    const int udp = track(::socket(AF_INET, SOCK_DGRAM, 0));
    expectDelivered(udp, peer, at(kAddressB, portOf(peer)), 10);
    const int tcp = track(connectTo(at(kAddressB, portOf(listener))));
    ASSERT_GE(tcp, 0);
    const int ping = track(::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP));
    icmphdr echo{};
    echo.type = ICMP_ECHO;
    const Address toB = at(kAddressB);
    ASSERT_EQ(::sendto(ping, &echo, sizeof echo, 0, toB.sockaddr(), toB.length),
              ssize_t(sizeof echo))
        << "no ping socket";

    std::unordered_set<quint64> existing;
    QString error;
    ASSERT_TRUE(counters_.listExisting(existing, &error)) << error.toStdString();
    EXPECT_EQ(existing.count(cookieOf(udp)), 1u);
    EXPECT_EQ(existing.count(cookieOf(tcp)), 1u);
    std::vector<KernelSocketCount> swept;
    EXPECT_EQ(counters_.finishVanished(swept, &error), 0) << error.toStdString();
    const SocketsByCookie stillLive = live();
    for (int fd : {udp, tcp, ping})
        EXPECT_EQ(stillLive.count(cookieOf(fd)), 1u) << "a socket that exists was finished";

    // A connection reset by connect(AF_UNSPEC) is in no table while its
    // program holds it: its reset's entry is finished, once.
    const int acceptedInB = track(::accept(listener, nullptr, nullptr));
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    ASSERT_EQ(::connect(tcp, &unspec, sizeof unspec), 0);
    char byte;
    EXPECT_LT(::recv(acceptedInB, &byte, 1, 0), 0) << "no reset came";
    ASSERT_TRUE(waitFinished({cookieOf(tcp)}));
    ASSERT_EQ(live().count(cookieOf(tcp)), 1u) << "the reset's entry";
    EXPECT_EQ(counters_.finishVanished(swept, &error), 1);
    ASSERT_EQ(swept.size(), 1u);
    EXPECT_EQ(swept[0].cookie, cookieOf(tcp));
    EXPECT_EQ(swept[0].packets.sent, 1u) << "the reset, finished";
    EXPECT_EQ(swept[0].packets.recv, 0u);
    EXPECT_EQ(live().count(cookieOf(tcp)), 0u);
    EXPECT_EQ(counters_.finishVanished(swept, &error), 0);

    // What is not listed is gone, but for protocols that cannot be listed and
    // for other namespaces' sockets, which the listing does not see.
    KernelSocketCount gone, icmp, contained;
    gone.cookie = 1;
    gone.protocol = IPPROTO_TCP;
    icmp.cookie = 2;
    icmp.protocol = IPPROTO_ICMP;
    contained.cookie = 3;
    contained.protocol = IPPROTO_UDP;
    contained.contained = true;
    EXPECT_EQ(vexmora::meter::vanishedEntries({gone, icmp, contained}, {}),
              std::vector<quint64>{1});
}

// A socket of another namespace (B, a container's) counts only what it
// exchanges with addresses the host routes out, exactly; the rest, none.
TEST_F(KernelPassage, AnotherNamespacesSocketCountsOnlyWhatTheHostRoutesOut)
{
    constexpr std::size_t kDatagrams = 20, kPayload = 700;
    prepareLink(Ipv6::Off);
    openCounters();
    vexmora::meter::RoutePrefix out = keptOnHost().front();
    out.staysOnHost = false;
    QString error;
    const auto sendFromB = [&](const std::vector<vexmora::meter::RoutePrefix> &routes) {
        EXPECT_EQ(counters_.setHostRoutes(routes, &error), 0) << error.toStdString();
        const int receiver = udpAt(kAddressA);
        const quint64 barrier = cookieOf(receiver);
        quint64 cookie = 0;
        inB([&] {
            const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
            cookie = cookieOf(sender);
            for (std::size_t i = 0; i < kDatagrams; ++i)
                expectDelivered(sender, receiver, at(kAddressA, portOf(receiver)), kPayload);
            ::close(sender);
        });
        ::close(receiver); // its end comes after the sender's
        EXPECT_TRUE(waitFinished({barrier}));
        return cookie;
    };

    const quint64 routedOut = sendFromB({keptOnHost().back(), out});
    ASSERT_EQ(finished_.count(routedOut), 1u) << "not counted";
    EXPECT_TRUE(finished_.at(routedOut).contained);
    EXPECT_EQ(finished_.at(routedOut).wire.sent, kDatagrams * (kPayload + 8 + 20 + 14));
    EXPECT_EQ(finished_.at(routedOut).wire.recv, 0u);

    const quint64 kept = sendFromB({}); // no route to A: the host keeps it
    EXPECT_EQ(finished_.count(kept), 0u) << "counted what the host keeps";
    EXPECT_EQ(live().count(kept), 0u);
}

} // namespace
