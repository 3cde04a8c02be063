// What the counts mean: wire bytes against the veth's own counters, payload
// against what the programs wrote, and when a socket's counts are final.
#include "kernel_fixture.h"

#include <QThread>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h> // tcp_info with the segment counts
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace kerneltest;

namespace {

using KernelCounting = KernelCountersTest;

// IPv4 20 + TCP 20 + timestamps 12, plus the Ethernet header.
constexpr quint64 kTcpSegmentOverhead = 20 + 32 + 14;

// Bytes TCP sent again: they cross the wire again and count again.
quint64 retransmittedBytes(int fd)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_bytes_retrans;
}

ByteCounts sum(const SocketsByCookie &sockets, ByteCounts KernelSocketCount::*what)
{
    ByteCounts total;
    for (const auto &entry : sockets)
        total += entry.second.*what;
    return total;
}

// A window this small keeps what is in flight far below the receiving CPU's
// backlog (1,000 packets), which would drop packets and so retransmit them.
constexpr int kSmallWindow = 128 * 1024;

TEST_F(KernelCounting, WireBytesEqualTheVethCountersAndPayloadWhatWasWritten)
{
    prepareLink(Ipv6::Off);
    openCounters();
    constexpr std::size_t kUpload = 3'000'000, kReply = 200'000;
    const LinkStats before = statsOfA();

    const int listener = listenAt(kAddressA, kSmallWindow);
    const int udp = udpAt(kAddressA);
    int peerTcp = -1, peerUdp = -1;
    inB([&] {
        peerTcp = track(::socket(AF_INET, SOCK_STREAM, 0));
        ::setsockopt(peerTcp, SOL_SOCKET, SO_RCVBUF, &kSmallWindow, sizeof kSmallWindow);
        peerUdp = track(udpAt(kAddressB));
    });
    ASSERT_TRUE(connects(peerTcp, at(kAddressA, portOf(listener))));
    const int accepted = ::accept(listener, nullptr, nullptr);
    std::thread upload([&] { sendAll(peerTcp, kUpload); });
    EXPECT_EQ(receiveAll(accepted, kUpload), kUpload);
    upload.join();
    sendAll(accepted, kReply);
    EXPECT_EQ(receiveAll(peerTcp, kReply), kReply);
    ::shutdown(peerTcp, SHUT_RDWR); // the peer closes first: A's socket ends at its last ACK
    EXPECT_EQ(receiveAll(accepted), 0u);

    const Address toB = at(kAddressB, portOf(peerUdp)), toA = at(kAddressA, portOf(udp));
    const std::vector<char> datagram(1400, 'u');
    std::size_t sentByA = 0, sentByB = 0;
    for (std::size_t size = 1; size <= datagram.size(); size += 97) {
        sentByA += std::size_t(::sendto(udp, datagram.data(), size, 0, toB.sockaddr(), toB.length));
        EXPECT_EQ(::recv(peerUdp, nullptr, 0, MSG_TRUNC), ssize_t(size));
        sentByB += std::size_t(
            ::sendto(peerUdp, datagram.data(), size / 2, 0, toA.sockaddr(), toA.length));
        EXPECT_EQ(::recv(udp, nullptr, 0, MSG_TRUNC), ssize_t(size / 2));
    }

    const quint64 connection = cookieOf(accepted), datagrams = cookieOf(udp);
    const quint64 uploadAgain = retransmittedBytes(peerTcp),
                  replyAgain = retransmittedBytes(accepted);
    const std::set<quint64> peers{cookieOf(peerTcp), cookieOf(peerUdp)};
    const std::set<quint64> ours{connection, datagrams, cookieOf(listener)};
    for (int fd : {accepted, listener, udp})
        ::close(fd);
    ASSERT_TRUE(waitFinished(ours));
    const LinkStats after = statsOfA();

    const ByteCounts wire = sum(finished_, &KernelSocketCount::wire);
    const ByteCounts packets = sum(finished_, &KernelSocketCount::packets);
    EXPECT_EQ(wire.recv, after.rxBytes - before.rxBytes);
    EXPECT_EQ(wire.sent, after.txBytes - before.txBytes);
    EXPECT_EQ(packets.recv, after.rxPackets - before.rxPackets);
    EXPECT_EQ(packets.sent, after.txPackets - before.txPackets);
    EXPECT_EQ(finished_.at(connection).payload.recv, kUpload + uploadAgain);
    EXPECT_EQ(finished_.at(connection).payload.sent, kReply + replyAgain);
    EXPECT_EQ(finished_.at(datagrams).payload.sent, sentByA);
    EXPECT_EQ(finished_.at(datagrams).payload.recv, sentByB);
    for (quint64 cookie : peers)
        EXPECT_EQ(finished_.count(cookie), 0u) << "a socket of namespace B was counted";
    EXPECT_TRUE(live().empty()) << "the live map keeps sockets that are gone";
}

TEST_F(KernelCounting, AnOffloadedPacketCountsTheHeadersOfEachOfItsSegments)
{
    prepareLink(Ipv6::Off, Offload::Kept); // the veth then counts one link header per large packet
    openCounters();
    constexpr std::size_t kEachWay = 4'000'000;
    int peerListener = -1;
    inB([&] { peerListener = track(listenAt(kAddressB, kSmallWindow)); });
    const LinkStats before = statsOfA();
    const int client = track(::socket(AF_INET, SOCK_STREAM, 0));
    ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &kSmallWindow, sizeof kSmallWindow);
    ASSERT_TRUE(connects(client, at(kAddressB, portOf(peerListener))));
    const int peer = track(::accept(peerListener, nullptr, nullptr));
    std::thread upload([&] { sendAll(client, kEachWay); });
    EXPECT_EQ(receiveAll(peer, kEachWay), kEachWay);
    upload.join();
    std::thread download([&] { sendAll(peer, kEachWay); });
    EXPECT_EQ(receiveAll(client, kEachWay), kEachWay);
    download.join();
    QThread::msleep(300); // the last delayed ACK
    const LinkStats after = statsOfA();
    tcp_info info{};
    socklen_t length = sizeof info;
    ASSERT_EQ(::getsockopt(client, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
    ASSERT_EQ(info.tcpi_bytes_retrans, 0u) << "lost packets: the veth counters are off";

    const SocketsByCookie sockets = live();
    ASSERT_EQ(sockets.count(cookieOf(client)), 1u);
    const KernelSocketCount &counted = sockets.at(cookieOf(client));
    EXPECT_EQ(counted.packets.sent, info.tcpi_segs_out);
    EXPECT_EQ(counted.packets.recv, info.tcpi_segs_in);
    const quint64 framesOut = after.txPackets - before.txPackets;
    const quint64 framesIn = after.rxPackets - before.rxPackets;
    ASSERT_LT(framesOut, counted.packets.sent) << "no segmentation offload happened";
    ASSERT_LT(framesIn, counted.packets.recv) << "no segmentation offload happened";
    // Each segment beyond the first of a large packet is a frame of its own
    // on an Ethernet link, with its own IP, TCP and link headers.
    EXPECT_EQ(counted.wire.sent - (after.txBytes - before.txBytes),
              (counted.packets.sent - framesOut) * kTcpSegmentOverhead);
    EXPECT_EQ(counted.wire.recv - (after.rxBytes - before.rxBytes),
              (counted.packets.recv - framesIn) * kTcpSegmentOverhead);
    EXPECT_EQ(counted.payload.sent, kEachWay);
    EXPECT_EQ(counted.payload.recv, kEachWay);
}

TEST_F(KernelCounting, SocketsFinishWithTheirFinalCountsAndLeaveTheLiveMap)
{
    prepareLink(Ipv6::Off);
    openCounters();
    int peerListener = -1, peerUdp = -1, slowReader = -1;
    // What close() leaves queued still leaves: the socket ends at TCP_CLOSE.
    // A small window at the peer keeps most of it queued here.
    const int tinyWindow = 4096, largeQueue = 256 * 1024;
    inB([&] {
        peerListener = track(listenAt(kAddressB));
        peerUdp = track(udpAt(kAddressB));
        slowReader = track(listenAt(kAddressB, tinyWindow));
    });
    const Address tcpB = at(kAddressB, portOf(peerListener));
    const int writer = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(writer, SOL_SOCKET, SO_SNDBUF, &largeQueue, sizeof largeQueue);
    ASSERT_TRUE(connects(writer, at(kAddressB, portOf(slowReader))));
    const int writerPeer = track(::accept(slowReader, nullptr, nullptr));
    ::fcntl(writer, F_SETFL, O_NONBLOCK);
    const std::vector<char> chunk(65536, 'w');
    std::size_t queued = 0;
    for (ssize_t n; (n = ::send(writer, chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;)
        queued += std::size_t(n);
    int unsent = 0;
    ::ioctl(writer, SIOCOUTQNSD, &unsent);
    // Most of it: the kernels differ in what a send buffer's bytes hold.
    ASSERT_GT(unsent, largeQueue / 2) << "the data left before close()";
    const quint64 writerCookie = cookieOf(writer);
    ASSERT_EQ(live().count(writerCookie), 1u);
    ::close(writer);
    QThread::msleep(100);
    drainFinished();
    EXPECT_EQ(finished_.count(writerCookie), 0u) << "finished while its data was still queued";
    EXPECT_EQ(receiveAll(writerPeer), queued);

    // A half-closed socket lives on; once both ends have sent their FIN it is
    // done, although its descriptor is still open.
    const int halfClosed = connectTo(tcpB);
    const int halfPeer = ::accept(peerListener, nullptr, nullptr);
    ::shutdown(halfClosed, SHUT_WR);
    QThread::msleep(50);
    EXPECT_EQ(live().count(cookieOf(halfClosed)), 1u);
    sendAll(halfPeer, 1000);
    ::close(halfPeer);
    EXPECT_EQ(receiveAll(halfClosed), 1000u);

    // UDP ends when released.
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    const Address toB = at(kAddressB, portOf(peerUdp));
    for (std::size_t size : {100, 200, 300})
        ::sendto(udp, chunk.data(), size, 0, toB.sockaddr(), toB.length);
    const quint64 udpCookie = cookieOf(udp);
    EXPECT_EQ(live().count(udpCookie), 1u);
    ::close(udp);

    ASSERT_TRUE(waitFinished({writerCookie, cookieOf(halfClosed), udpCookie}));
    EXPECT_EQ(finished_.at(writerCookie).payload.sent, queued);
    EXPECT_EQ(finished_.at(cookieOf(halfClosed)).payload.recv, 1000u);
    EXPECT_EQ(finished_.at(udpCookie).payload.sent, 600u);
    EXPECT_EQ(finished_.at(udpCookie).packets.sent, 3u);
    for (const auto &socket : finished_)
        EXPECT_TRUE(socket.second.finished);
    const SocketsByCookie stillLive = live();
    for (quint64 cookie : {writerCookie, cookieOf(halfClosed), udpCookie})
        EXPECT_EQ(stillLive.count(cookie), 0u);
    ::close(halfClosed); // no second record
    QThread::msleep(50);
    drainFinished();
    EXPECT_EQ(counters_.lostFinished(), 0u);

    // The descriptor for a socket notifier stays quiet while a few final
    // counts wait, which the samples take, and is readable once they fill a
    // quarter of the buffer (2 MiB of 96-byte records).
    const auto closeSockets = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const int another = ::socket(AF_INET, SOCK_DGRAM, 0);
            ::sendto(another, chunk.data(), 1, 0, toB.sockaddr(), toB.length);
            ::close(another);
        }
    };
    pollfd waiting{counters_.finishedFd(), POLLIN, 0};
    closeSockets(1);
    EXPECT_EQ(::poll(&waiting, 1, 200), 0);
    closeSockets((2 << 20) / 96 / 4);
    EXPECT_EQ(::poll(&waiting, 1, 2000), 1);
    drainFinished();
    EXPECT_EQ(::poll(&waiting, 1, 0), 0);
    EXPECT_EQ(counters_.lostFinished(), 0u);

    // A sleeping reader is woken by the next packet counted, once a sleep.
    counters_.setReaderAsleep(true);
    const int waking = track(::socket(AF_INET, SOCK_DGRAM, 0));
    EXPECT_EQ(::poll(&waiting, 1, 100), 0) << "woken while nothing moved";
    ::sendto(waking, chunk.data(), 1, 0, toB.sockaddr(), toB.length);
    EXPECT_EQ(::poll(&waiting, 1, 2000), 1) << "not woken by the packet";
    drainFinished();
    ::sendto(waking, chunk.data(), 1, 0, toB.sockaddr(), toB.length);
    EXPECT_EQ(::poll(&waiting, 1, 200), 0) << "woken again within one sleep";
}

} // namespace
