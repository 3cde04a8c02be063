// The endings' cases: every way a socket's life ends, on A's side.
#include "kernel_endings.h"

#include <QFile>
#include <QThread>
#include <cstring>
#include <linux/if_ether.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace endings;

namespace kerneltest {

void KernelEndings::prepareLink()
{
    const QString a = pair_.a(), b = pair_.b();
    ASSERT_EQ(
        shellFailure(
            QStringLiteral("for ns in %1 %2; do\n"
                           "  nsenter --net=/run/netns/$ns sysctl -qw "
                           "net.ipv4.tcp_fastopen=3 net.ipv4.ping_group_range='0 0' "
                           "net.ipv6.conf.all.router_solicitations=0 "
                           "net.ipv6.conf.default.router_solicitations=0 "
                           "net.ipv6.conf.veth0.router_solicitations=0 "
                           "net.ipv6.conf.veth1.router_solicitations=0 2>/dev/null || true\n"
                           "done\n"
                           "ip -n %1 link set veth0 gso_max_segs 1\n"
                           "ip -n %2 link set veth1 gso_max_segs 1\n"
                           "mac_a=$(ip -n %1 -br link show veth0 | awk '{print $3}')\n"
                           "mac_b=$(ip -n %2 -br link show veth1 | awk '{print $3}')\n"
                           "for peer in %3 %4 %5 %6; do\n"
                           "  ip -n %1 neigh replace $peer lladdr $mac_b dev veth0 nud permanent\n"
                           "done\n"
                           "ip -n %2 neigh replace 10.231.0.1 lladdr $mac_a dev veth1 nud "
                           "permanent\n"
                           "ip -n %2 neigh replace fd00:231::1 lladdr $mac_a dev veth1 nud "
                           "permanent\n"
                           "link_a=$(ip -n %1 -6 -br addr show dev veth0 scope link | "
                           "awk '{print $3}' | cut -d/ -f1)\n"
                           "link_b=$(ip -n %2 -6 -br addr show dev veth1 scope link | "
                           "awk '{print $3}' | cut -d/ -f1)\n"
                           "[ -z \"$link_b\" ] || ip -n %1 neigh replace $link_b lladdr "
                           "$mac_b dev veth0 nud permanent\n"
                           "[ -z \"$link_a\" ] || ip -n %2 neigh replace $link_a lladdr "
                           "$mac_a dev veth1 nud permanent")
                .arg(a, b, QLatin1String(kAddressB), QLatin1String(kAddressB6),
                     QLatin1String(kSilentAddress), QLatin1String(kSilentAddress6))),
        QString());
    QThread::msleep(1500); // the reports IPv6 sent when the link came up are sent
}

std::set<quint64> KernelEndings::liveCookies(vexmora::meter::KernelSocketCounters &counters)
{
    std::vector<KernelSocketCount> sockets;
    QString error;
    EXPECT_TRUE(counters.readLive(sockets, &error)) << error.toStdString();
    std::set<quint64> cookies;
    for (const KernelSocketCount &socket : sockets)
        cookies.insert(socket.cookie);
    return cookies;
}

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
    const int listener = listenerInB(kind);
    const int client = connectTo(kind, peerOf(kind, portOf(listener)));
    const int peer = acceptInB(listener);
    if (abortive)
        lingerZero(client);
    std::thread stream([&] { sendAll(peer, 150'000); });
    EXPECT_EQ(receiveAll(client, 100'000), 100'000u);
    stream.join();
    EXPECT_TRUE(allAcknowledged(peer)) << "data in flight would meet no socket";
    ::close(client); // the rest unread: a reset
    ::close(peer);
    ::close(listener);
}

void KernelEndings::peerResets(Kind kind)
{
    const int listener = listenerInB(kind);
    const int client = connectTo(kind, peerOf(kind, portOf(listener)));
    const int peer = acceptInB(listener);
    sendAll(client, 20'000);
    EXPECT_EQ(receiveAll(peer, 20'000), 20'000u);
    lingerZero(peer);
    ::close(peer);
    char byte;
    EXPECT_LT(::recv(client, &byte, 1, 0), 0) << "no reset came";
    ::close(client);
    ::close(listener);
}

void KernelEndings::refusedConnect(Kind kind)
{
    const int listener = listenerInB(kind);
    const quint16 closedPort = portOf(listener);
    ::close(listener);
    const int client = socketOf(kind, SOCK_STREAM);
    const Address to = peerOf(kind, closedPort);
    EXPECT_NE(::connect(client, to.sockaddr(), to.length), 0);
    ::close(client);
}

void KernelEndings::synOnlyTimeout(Kind kind)
{
    const int client = socketOf(kind, SOCK_STREAM);
    const int retries = 1; // 1 s, then 2 s more
    ::setsockopt(client, IPPROTO_TCP, TCP_SYNCNT, &retries, sizeof retries);
    const Address to = silentOf(kind, 9);
    EXPECT_NE(::connect(client, to.sockaddr(), to.length), 0);
    EXPECT_EQ(errno, ETIMEDOUT);
    ::close(client);
}

void KernelEndings::shutdownThenClose(Kind kind)
{
    const int listener = listenerInB(kind);
    const int client = connectTo(kind, peerOf(kind, portOf(listener)));
    const int peer = acceptInB(listener);
    sendAll(client, 30'000);
    sendAll(peer, 10'000);
    EXPECT_EQ(receiveAll(peer, 30'000), 30'000u);
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
    receiveAll(peer);
    ::close(peer);
    ::close(listener);
}

// The side that closes first keeps the connection in time-wait: its last
// packets (the peer's FIN, its own last ACK) belong to it too.
void KernelEndings::orderlyClose(Kind kind, bool programFirst)
{
    const int listener = listenerInB(kind);
    const int client = connectTo(kind, peerOf(kind, portOf(listener)));
    const int peer = acceptInB(listener);
    sendAll(client, 500);
    EXPECT_EQ(receiveAll(peer, 500), 500u);
    const int first = programFirst ? client : peer, second = programFirst ? peer : client;
    ::close(first);
    EXPECT_EQ(receiveAll(second), 0u);
    QThread::msleep(100); // the FIN is acknowledged on its own: the closer's socket is gone
    ::close(second);
    ::close(listener);
}

void KernelEndings::connectAgain(Kind kind, bool afterUnspec)
{
    const int listener = listenerInB(kind);
    const Address server = peerOf(kind, portOf(listener));
    const int client = socketOf(kind, SOCK_STREAM);
    if (afterUnspec) {
        ASSERT_EQ(::connect(client, server.sockaddr(), server.length), 0);
        const int first = acceptInB(listener);
        sendAll(client, 7'000);
        EXPECT_EQ(receiveAll(first, 7'000), 7'000u);
        sockaddr unspec{};
        unspec.sa_family = AF_UNSPEC;
        EXPECT_EQ(::connect(client, &unspec, sizeof unspec), 0);
        ::close(first);
    } else {
        const Address refused = peerOf(kind, quint16(portOf(listener) ^ 1));
        EXPECT_NE(::connect(client, refused.sockaddr(), refused.length), 0);
    }
    ASSERT_EQ(::connect(client, server.sockaddr(), server.length), 0);
    const int second = acceptInB(listener);
    sendAll(client, 9'000);
    EXPECT_EQ(receiveAll(second, 9'000), 9'000u);
    ::close(client);
    receiveAll(second);
    ::close(second);
    ::close(listener);
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
        const int peer = acceptInB(listener);
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
        client = connectTo(peerKindOf(kind), addressOfA(kind, portOf(listener)));
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
    const int listener = listenerInB(kind);
    const int client = connectTo(kind, peerOf(kind, portOf(listener)));
    const int peer = acceptInB(listener);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int passed = receiveDescriptor(pair[1]);
        sendAll(passed, 60'000);
        ::_exit(passed >= 0 ? 0 : 1);
    }
    sendDescriptor(pair[0], client);
    ::close(client);
    EXPECT_EQ(receiveAll(peer, 60'000), 60'000u);
    EXPECT_TRUE(exitedWell(child));
    EXPECT_EQ(receiveAll(peer), 0u);
    ::close(peer);
    ::close(pair[0]);
    ::close(pair[1]);
    ::close(listener);
}

void KernelEndings::inheritedAcrossExec(Kind kind)
{
    const int listener = listenerInB(kind);
    const int client = connectTo(kind, peerOf(kind, portOf(listener)));
    const int peer = acceptInB(listener);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(client, STDOUT_FILENO);
        ::execl("/usr/bin/head", "head", "-c", "80000", "/dev/zero", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(client);
    EXPECT_EQ(receiveAll(peer), 80'000u);
    EXPECT_TRUE(exitedWell(child));
    ::close(peer);
    ::close(listener);
}

void KernelEndings::udp(Kind kind, bool connected)
{
    int peer = -1;
    inB([&] { peer = boundUdpOnAny(kind); });
    const int socket = socketOf(kind, SOCK_DGRAM);
    const Address to = peerOf(kind, portOf(peer));
    if (connected) {
        ASSERT_EQ(::connect(socket, to.sockaddr(), to.length), 0);
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
    ::close(socket);
    ::close(peer);
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
