// The endings' cases: every way a socket's life ends, on A's side.
#include "kernel_endings.h"
#include "raw_segments.h"

#include <QFile>
#include <QThread>
#include <cstring>
#include <linux/if_ether.h>
#include <netinet/tcp.h>
#include <thread>

namespace kerneltest {

LinkStats KernelEndings::unicastOfA()
{
    LinkStats stats = statsOfA();
    QFile file(QStringLiteral("/proc/thread-self/net/dev_snmp6/veth0")); // this thread is in A
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::map<QByteArray, quint64> counters;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 2)
            counters[fields[0]] = fields[1].toULongLong();
    }
    stats.rxBytes -= counters["Ip6InMcastOctets"] + ETH_HLEN * counters["Ip6InMcastPkts"];
    stats.txBytes -= counters["Ip6OutMcastOctets"] + ETH_HLEN * counters["Ip6OutMcastPkts"];
    return stats;
}

void KernelEndings::closeWithUnreadData(Kind kind, bool abortive)
{
    const Connection c = connectToB(kind);
    if (abortive)
        lingerZero(c.client);
    std::thread stream([&] { sendAll(c.peer, 150'000); });
    EXPECT_EQ(receiveAll(c.client, 100'000), 100'000u);
    stream.join();
    EXPECT_TRUE(allAcknowledged(c.peer));
    const quint16 clientPort = portOf(c.client), peerPort = portOf(c.peer);
    closeAll({c.client, c.peer, c.listener}); // the client's rest unread: a reset
    const Kind wire = kind == Kind::Mapped ? Kind::V4 : kind;
    inB([&] { sendRawSegments(peerOf(wire, peerPort), addressOfA(wire, clientPort), 3, 1000); });
}

void KernelEndings::peerResets(Kind kind)
{
    const Connection c = connectToB(kind);
    sendAll(c.client, 20'000);
    EXPECT_EQ(receiveAll(c.peer, 20'000), 20'000u);
    lingerZero(c.peer);
    ::close(c.peer);
    char byte;
    EXPECT_LT(::recv(c.client, &byte, 1, 0), 0) << "no reset came";
    closeAll({c.client, c.listener});
}

void KernelEndings::refusedConnect(Kind kind)
{
    const int listener = listenerInB(kind);
    const quint16 closedPort = portOf(listener);
    ::close(listener);
    EXPECT_EQ(connectTo(peerOf(kind, closedPort)), -1);
}

void KernelEndings::synOnlyTimeout(Kind kind)
{
    const int client = socketOf(kind, SOCK_STREAM);
    const int retries = 1; // 1 s, then 2 s more
    ::setsockopt(client, IPPROTO_TCP, TCP_SYNCNT, &retries, sizeof retries);
    EXPECT_FALSE(connects(client, silentOf(kind, 9)));
    EXPECT_EQ(errno, ETIMEDOUT);
    ::close(client);
}

void KernelEndings::shutdownThenClose(Kind kind)
{
    const Connection c = connectToB(kind);
    sendAll(c.client, 30'000);
    sendAll(c.peer, 10'000);
    EXPECT_EQ(receiveAll(c.peer, 30'000), 30'000u);
    ::shutdown(c.client, SHUT_RDWR);
    ::close(c.client);
    receiveAll(c.peer);
    closeAll({c.peer, c.listener});
}

// The side that closes first keeps the connection in time-wait: its last
// packets (the peer's FIN, its own last ACK) belong to it too.
void KernelEndings::orderlyClose(Kind kind, bool programFirst)
{
    const Connection c = connectToB(kind);
    const quint16 clientPort = portOf(c.client), peerPort = portOf(c.peer);
    sendAll(c.client, 500);
    EXPECT_EQ(receiveAll(c.peer, 500), 500u);
    const int first = programFirst ? c.client : c.peer, second = programFirst ? c.peer : c.client;
    ::close(first);
    EXPECT_EQ(receiveAll(second), 0u);
    QThread::msleep(100); // the FIN is acknowledged on its own: the closer's socket is gone
    closeAll({second, c.listener});
    if (programFirst) { // a late acknowledgement: time-wait answers it
        const Kind wire = kind == Kind::Mapped ? Kind::V4 : kind;
        inB([&] { sendRawSegments(peerOf(wire, peerPort), addressOfA(wire, clientPort), 1, 0); });
    }
}

void KernelEndings::connectAgain(Kind kind, bool afterUnspec)
{
    const int listener = listenerInB(kind);
    const Address server = peerOf(kind, portOf(listener));
    const int client = socketOf(kind, SOCK_STREAM);
    if (afterUnspec) {
        ASSERT_TRUE(connects(client, server));
        const int first = ::accept(listener, nullptr, nullptr);
        sendAll(client, 7'000);
        EXPECT_EQ(receiveAll(first, 7'000), 7'000u);
        // An acknowledgement still on its way would meet no socket.
        EXPECT_TRUE(allAcknowledged(client));
        sockaddr unspec{};
        unspec.sa_family = AF_UNSPEC;
        EXPECT_EQ(::connect(client, &unspec, sizeof unspec), 0);
        ::close(first);
    } else {
        EXPECT_FALSE(connects(client, peerOf(kind, quint16(portOf(listener) ^ 1))));
    }
    ASSERT_TRUE(connects(client, server));
    const int second = ::accept(listener, nullptr, nullptr);
    sendAll(client, 9'000);
    EXPECT_EQ(receiveAll(second, 9'000), 9'000u);
    ::close(client);
    receiveAll(second);
    closeAll({second, listener});
}

void KernelEndings::fastOpen(Kind kind)
{
    const int listener = listenerInB(kind);
    const int queue = 8;
    ::setsockopt(listener, IPPROTO_TCP, TCP_FASTOPEN, &queue, sizeof queue);
    const Address server = peerOf(kind, portOf(listener));
    const std::string hello(1000, 'f');
    for (int round = 0; round < 2; ++round) { // the first gets the cookie, the second uses it
        const int client = socketOf(kind, SOCK_STREAM);
        EXPECT_EQ(::sendto(client, hello.data(), hello.size(), MSG_FASTOPEN, server.sockaddr(),
                           server.length),
                  ssize_t(hello.size()));
        const int peer = ::accept(listener, nullptr, nullptr);
        EXPECT_EQ(receiveAll(peer, hello.size()), hello.size());
        ::close(client);
        receiveAll(peer);
        ::close(peer);
    }
    ::close(listener);
}

void KernelEndings::listenerResetsBeforeAccept(Kind kind)
{
    const int listener = listenOnAny(kind, 4);
    int client = -1;
    inB([&] {
        client = connectTo(addressOfA(kind, portOf(listener)));
        sendAll(client, 5'000);
    });
    QThread::msleep(50); // the data is queued on the connection not accepted
    ::close(listener);
    char byte;
    EXPECT_LT(::recv(client, &byte, 1, 0), 0) << "no reset came";
    ::close(client);
}

void KernelEndings::passedOverScmRights(Kind kind)
{
    const Connection c = connectToB(kind);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int passed = receiveDescriptor(pair[1]);
        sendAll(passed, 60'000);
        ::_exit(passed >= 0 ? 0 : 1);
    }
    sendDescriptor(pair[0], c.client);
    ::close(c.client);
    EXPECT_EQ(receiveAll(c.peer, 60'000), 60'000u);
    EXPECT_TRUE(exitedWell(child));
    EXPECT_EQ(receiveAll(c.peer), 0u);
    closeAll({c.peer, pair[0], pair[1], c.listener});
}

void KernelEndings::inheritedAcrossExec(Kind kind)
{
    const Connection c = connectToB(kind);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(c.client, STDOUT_FILENO);
        ::execl("/usr/bin/head", "head", "-c", "80000", "/dev/zero", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(c.client);
    EXPECT_EQ(receiveAll(c.peer), 80'000u);
    EXPECT_TRUE(exitedWell(child));
    closeAll({c.peer, c.listener});
}

void KernelEndings::udp(Kind kind, bool connected)
{
    int peer = -1;
    inB([&] { peer = boundOnAny(kind, SOCK_DGRAM); });
    const int socket = socketOf(kind, SOCK_DGRAM);
    const Address to = peerOf(kind, portOf(peer));
    if (connected) {
        ASSERT_TRUE(connects(socket, to));
    }
    const std::string datagram(1200, 'd');
    for (std::size_t size = 1; size <= datagram.size(); size += 131) {
        EXPECT_EQ(::sendto(socket, datagram.data(), size, 0, connected ? nullptr : to.sockaddr(),
                           connected ? 0 : to.length),
                  ssize_t(size));
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        char buffer[2048];
        EXPECT_EQ(::recvfrom(peer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                             &length),
                  ssize_t(size));
        EXPECT_EQ(::sendto(peer, buffer, size / 2, 0, reinterpret_cast<sockaddr *>(&from), length),
                  ssize_t(size / 2));
        EXPECT_EQ(::recv(socket, buffer, sizeof buffer, 0), ssize_t(size / 2));
    }
    closeAll({socket, peer});
}

void KernelEndings::pingSocket(Kind kind)
{
    const int socket = pingSocketOf(kind);
    ASSERT_GE(socket, 0) << "no ping socket: " << std::strerror(errno);
    const Address to = peerOf(kind, 0);
    for (int sequence = 1; sequence <= 3; ++sequence) {
        const std::vector<char> echo = echoRequest(kind, sequence, 56 * sequence);
        EXPECT_EQ(::sendto(socket, echo.data(), echo.size(), 0, to.sockaddr(), to.length),
                  ssize_t(echo.size()));
        char reply[512];
        EXPECT_EQ(::recv(socket, reply, sizeof reply, 0), ssize_t(echo.size()));
    }
    ::close(socket);
}

} // namespace kerneltest
