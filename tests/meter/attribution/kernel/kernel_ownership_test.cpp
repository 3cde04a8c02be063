// Whose each socket is: the process that created it, an accepted socket's
// listener's creator, nobody for a socket older than the programs, and (where
// the send and receive tracepoints attach) the process that last moved bytes;
// each by its pid in the pid namespace of the process that opened the counters.
#include "kernel_fixture.h"

#include <QThread>
#include <csignal>
#include <cstdio>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kerneltest;

namespace {

using KernelOwnership = KernelCountersTest;

constexpr quint32 kNobody = 65534;
constexpr std::size_t kBytes = 5000;

QByteArray threadName()
{
    char name[16] = {};
    ::prctl(PR_GET_NAME, name);
    return QByteArray(name);
}

// A pre-forked server: a process of its own (uid nobody) creates the listener
// in the caller's namespace and forks a worker that accepts. The worker reads
// kBytes once told to, then waits for the end of `go`.
struct PreforkedServer
{
    pid_t listenerOwner = -1;
    pid_t worker = -1;
    quint16 port = 0;
    int report[2] = {-1, -1}, go[2] = {-1, -1};

    bool start()
    {
        if (::pipe(report) != 0 || ::pipe(go) != 0)
            return false;
        listenerOwner = ::fork();
        if (listenerOwner == 0)
            ownListener();
        ::close(report[1]);
        ::close(go[0]);
        readExactly(report[0], &port, sizeof port);
        readExactly(report[0], &worker, sizeof worker);
        return port != 0;
    }
    quint64 acceptedCookie()
    {
        quint64 cookie = 0;
        readExactly(report[0], &cookie, sizeof cookie);
        return cookie;
    }
    void readNow()
    {
        ::write(go[1], "r", 1);
        char done = 0;
        readExactly(report[0], &done, 1);
    }
    ~PreforkedServer()
    {
        ::close(go[1]);
        if (listenerOwner > 0)
            ::waitpid(listenerOwner, nullptr, 0);
        ::close(report[0]);
    }

    [[noreturn]] void ownListener()
    {
        ::prctl(PR_SET_NAME, "vxlistener");
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(report[0]);
        ::close(go[1]);
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(1);
        const int listener = listenAt(kAddressA);
        if (listener < 0)
            ::_exit(1);
        const quint16 boundPort = portOf(listener);
        const pid_t child = ::fork();
        if (child == 0)
            work(listener);
        ::write(report[1], &boundPort, sizeof boundPort);
        ::write(report[1], &child, sizeof child);
        ::waitpid(child, nullptr, 0);
        ::_exit(0);
    }
    [[noreturn]] void work(int listener)
    {
        ::prctl(PR_SET_NAME, "vxworker");
        const int accepted = ::accept(listener, nullptr, nullptr);
        const quint64 cookie = cookieOf(accepted);
        ::write(report[1], &cookie, sizeof cookie);
        char command = 0;
        readExactly(go[0], &command, 1);
        std::vector<char> buffer(kBytes);
        readExactly(accepted, buffer.data(), buffer.size());
        ::write(report[1], "d", 1);
        readExactly(go[0], &command, 1); // until the parent closes it
        ::_exit(0);
    }
};

struct Owner
{
    const char *socket;
    quint64 cookie;
    quint32 tgid;
    quint32 uid;
    QByteArray comm;
    quint8 protocol;
};

// Runs `child` in the first process (pid 1) of a new pid namespace, in this
// thread's network namespace; its pid as this process sees it.
pid_t forkInNewPidNamespace(const std::function<int()> &child)
{
    pid_t pid = -1;
    std::thread([&] {
        if (::unshare(CLONE_NEWPID) == 0 && (pid = ::fork()) == 0)
            ::_exit(child());
    }).join();
    return pid;
}

// A socket as another process's counters saw it, through a pipe.
struct SeenSocket
{
    quint64 cookie, payload;
    quint32 tgid, uid;
    char comm[16];
    quint8 protocol;
};

void expectOwners(const SocketsByCookie &live, const std::vector<Owner> &table, const char *when)
{
    for (const Owner &row : table) {
        SCOPED_TRACE(std::string(row.socket) + ", " + when);
        ASSERT_EQ(live.count(row.cookie), 1u) << "not counted";
        const KernelSocketCount &counted = live.at(row.cookie);
        EXPECT_EQ(counted.tgid, row.tgid);
        EXPECT_EQ(counted.uid, row.uid);
        EXPECT_EQ(counted.comm, row.comm);
        EXPECT_EQ(counted.protocol, row.protocol);
        EXPECT_GT(counted.payload.total(), 0u);
    }
}

TEST_F(KernelOwnership, EachSocketHasItsOwner)
{
    prepareLink(Ipv6::Off);
    int peerListener = -1, peerUdp = -1, toServer = -1;
    inB([&] {
        peerListener = track(listenAt(kAddressB));
        peerUdp = track(udpAt(kAddressB));
        toServer = track(::socket(AF_INET, SOCK_STREAM, 0));
    });
    const Address tcpB = at(kAddressB, portOf(peerListener));
    const int older = track(connectTo(tcpB));
    const int olderPeer = track(::accept(peerListener, nullptr, nullptr));

    openCounters();
    PreforkedServer server;
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(connects(toServer, at(kAddressA, server.port)));
    const quint64 accepted = server.acceptedCookie();
    const int client = track(connectTo(tcpB));
    const int udp = track(::socket(AF_INET, SOCK_DGRAM, 0));
    const Address udpB = at(kAddressB, portOf(peerUdp));
    const std::vector<char> bytes(kBytes, 'o');
    for (int fd : {toServer, client, olderPeer})
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), ssize_t(kBytes));
    ::sendto(udp, bytes.data(), 100, 0, udpB.sockaddr(), udpB.length);
    QThread::msleep(50);

    const quint32 self = quint32(::getpid());
    const QByteArray name = threadName();
    const SocketsByCookie batch = live();
    expectOwners(
        batch,
        {{"client", cookieOf(client), self, 0, name, IPPROTO_TCP},
         {"UDP", cookieOf(udp), self, 0, name, IPPROTO_UDP},
         {"accepted", accepted, quint32(server.listenerOwner), kNobody, "vxlistener", IPPROTO_TCP},
         {"older than the programs", cookieOf(older), 0, 0, {}, IPPROTO_TCP}},
        "before anyone read");

    // The walk that kernels without batch lookups get finds the same sockets.
    counters_.setLiveLookup(KernelSocketCounters::LiveLookup::EntryByEntry);
    const SocketsByCookie oneByOne = live();
    ASSERT_EQ(oneByOne.size(), batch.size());
    for (const auto &socket : batch)
        EXPECT_EQ(oneByOne.count(socket.first), 1u);

    // Reading moves bytes too: the worker and this process take over.
    server.readNow();
    std::vector<char> buffer(kBytes);
    readExactly(older, buffer.data(), buffer.size());
    const bool movers = counters_.tracksMovers();
    // A kernel without the movers' tracepoints is said to lack them.
    EXPECT_EQ(
        counters_.kernelLacks().join(QLatin1Char(' ')).contains(QLatin1String("sock_send_length")),
        !movers);
    expectOwners(live(),
                 {{"accepted", accepted, quint32(movers ? server.worker : server.listenerOwner),
                   kNobody, movers ? "vxworker" : "vxlistener", IPPROTO_TCP},
                  {"older than the programs", cookieOf(older), movers ? self : 0, 0,
                   movers ? name : QByteArray(), IPPROTO_TCP}},
                 "after the reads");
}

// Counters opened in a pid namespace of their own: sockets created or read
// there by their pids there, one created outside by nobody; and in the first
// pid namespace, where they are opened too, by the kernel's own pids.
TEST_F(KernelOwnership, PidsAsThePidNamespaceOfTheOpenerSeesThem)
{
    prepareLink(Ipv6::Off);
    openCounters();
    int report[2], go[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(go), 0);
    for (int fd : {report[0], report[1], go[0], go[1]})
        track(fd);
    const pid_t child = forkInNewPidNamespace([&] {
        KernelSocketCounters counters;
        QString error;
        if (!counters.open(&error)) {
            std::fprintf(stderr, "in a new pid namespace: %s\n", qPrintable(error));
            return 1;
        }
        const int created = udpAt(kAddressA), read = udpAt(kAddressA);
        const quint64 cookies[] = {cookieOf(created), cookieOf(read)};
        const quint16 ports[] = {portOf(created), portOf(read)};
        ::write(report[1], cookies, sizeof cookies);
        ::write(report[1], ports, sizeof ports);
        char sent = 0;
        readExactly(go[0], &sent, 1);
        const pid_t reader = ::fork();
        if (reader == 0) {
            char datagram[100];
            ::_exit(::recv(read, datagram, sizeof datagram, 0) > 0 ? 0 : 1);
        }
        std::vector<KernelSocketCount> live;
        if (::waitpid(reader, nullptr, 0) != reader || !counters.readLive(live, &error))
            return 1;
        const quint32 facts[] = {quint32(reader), counters.tracksMovers(),
                                 counters.recordsCreators(), quint32(live.size())};
        ::write(report[1], facts, sizeof facts);
        for (const KernelSocketCount &socket : live) {
            SeenSocket seen{socket.cookie,  socket.payload.total(), socket.tgid, socket.uid, {},
                            socket.protocol};
            std::copy(socket.comm.begin(), socket.comm.end(), seen.comm);
            ::write(report[1], &seen, sizeof seen);
        }
        return 0;
    });
    ASSERT_GT(child, 0);
    quint64 cookies[2] = {};
    quint16 ports[2] = {};
    readExactly(report[0], cookies, sizeof cookies);
    readExactly(report[0], ports, sizeof ports);
    ASSERT_NE(cookies[1], 0u) << "no counters in the new pid namespace";

    const int outside = track(udpAt(kAddressA));
    int peer = -1;
    inB([&] { peer = track(::socket(AF_INET, SOCK_DGRAM, 0)); });
    const char datagram[100] = {};
    for (quint16 port : {ports[0], ports[1], portOf(outside)}) {
        const Address to = at(kAddressA, port);
        ASSERT_EQ(::sendto(peer, datagram, sizeof datagram, 0, to.sockaddr(), to.length), 100);
    }
    QThread::msleep(50);
    ::write(go[1], "s", 1);
    quint32 facts[4] = {};
    readExactly(report[0], facts, sizeof facts);
    SocketsByCookie seen;
    for (quint32 i = 0; i < facts[3]; ++i) {
        SeenSocket socket{};
        readExactly(report[0], &socket, sizeof socket);
        KernelSocketCount &counted = seen[socket.cookie];
        counted.tgid = socket.tgid;
        counted.uid = socket.uid;
        counted.comm = QByteArray(socket.comm);
        counted.protocol = socket.protocol;
        counted.payload.recv = socket.payload;
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);

    const QByteArray name = threadName();
    const bool movers = facts[1] != 0;
    // Before Linux 6.10 the socket programs get no pids of this namespace:
    // only the movers are known, or nobody.
    const quint32 creator = facts[2] != 0 ? 1 : 0;
    const quint32 reader = movers ? facts[0] : creator;
    expectOwners(seen,
                 {{"created in the namespace: by its pid there", cookies[0], creator, 0,
                   creator ? name : QByteArray(), IPPROTO_UDP},
                  {"read in it by another process: by that one's pid there", cookies[1], reader, 0,
                   reader ? name : QByteArray(), IPPROTO_UDP},
                  {"created outside it: by nobody", cookieOf(outside), 0, 0, {}, IPPROTO_UDP}},
                 "counted from a new pid namespace");
    struct stat pidNamespace
    {
    };
    ::stat("/proc/self/ns/pid", &pidNamespace);
    const bool first = pidNamespace.st_ino == 0xEFFFFFFC; // the kernel's PROC_PID_INIT_INO
    ASSERT_TRUE(waitFinished({cookies[0]})) << "closed when the namespace ended";
    expectOwners(finished_,
                 {{"created in a nested pid namespace", cookies[0], first ? quint32(child) : 0, 0,
                   first ? name : QByteArray(), IPPROTO_UDP}},
                 "counted from this process's pid namespace");
}

} // namespace
