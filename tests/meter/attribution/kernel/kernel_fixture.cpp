#include "kernel_fixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <arpa/inet.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace kerneltest {

bool inCi()
{
    return qgetenv("CI") == "true";
}

void KernelCountersTest::SetUp()
{
    if (::geteuid() != 0)
        KERNEL_TEST_LACKS("network namespaces and BPF need root");
    ASSERT_EQ(pair_.error(), QString());
    // One CPU for the test and the threads it starts: a veth hands each packet
    // to the backlog of the sending CPU, and a sender that moves between CPUs
    // reorders its own segments, which TCP then sends again.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    inA_ = std::make_unique<testsupport::NetnsEntry>(pair_.a());
    ASSERT_TRUE(inA_->ok());
}

void KernelCountersTest::TearDown()
{
    for (int fd : fds_)
        ::close(fd);
}

void KernelCountersTest::prepareLink(Ipv6 ipv6, Offload offload)
{
    const QString sysctls = QStringLiteral(
        "net.ipv4.tcp_early_retrans=0 net.ipv4.tcp_fastopen=3 net.ipv4.ping_group_range='0 0' "
        "net.ipv6.conf.all.router_solicitations=0 net.ipv6.conf.default.router_solicitations=0 "
        "net.ipv6.conf.veth0.router_solicitations=0 net.ipv6.conf.veth1.router_solicitations=0");
    const QString noIpv6 =
        QStringLiteral("  nsenter --net=/run/netns/$ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                       "net.ipv6.conf.default.disable_ipv6=1\n");
    // The addresses of B (and the silent ones) as A reaches them, then A's;
    // with IPv6, also each end's link-local address.
    const QString neighbours6 =
        QStringLiteral("ip -n $a neigh replace %1 lladdr $mac_b dev veth0 nud permanent\n"
                       "ip -n $a neigh replace %2 lladdr $mac_b dev veth0 nud permanent\n"
                       "ip -n $b neigh replace %3 lladdr $mac_a dev veth1 nud permanent\n"
                       "link_a=$(ip -n $a -6 -br addr show dev veth0 scope link | awk '{print $3}' "
                       "| cut -d/ -f1)\n"
                       "link_b=$(ip -n $b -6 -br addr show dev veth1 scope link | awk '{print $3}' "
                       "| cut -d/ -f1)\n"
                       "[ -z \"$link_b\" ] || ip -n $a neigh replace $link_b lladdr $mac_b dev "
                       "veth0 nud permanent\n"
                       "[ -z \"$link_a\" ] || ip -n $b neigh replace $link_a lladdr $mac_a dev "
                       "veth1 nud permanent\n")
            .arg(QLatin1String(kAddressB6), QLatin1String(kSilentAddress6),
                 QLatin1String(kAddressA6));
    const QString script =
        QStringLiteral("a=%1 b=%2\n"
                       "for ns in $a $b; do\n"
                       "  nsenter --net=/run/netns/$ns sysctl -qw %3 2>/dev/null || true\n"
                       "%4"
                       "done\n"
                       "ip -n $a link set veth0 gso_max_segs %5\n"
                       "ip -n $b link set veth1 gso_max_segs %5\n"
                       "mac_a=$(ip -n $a -br link show veth0 | awk '{print $3}')\n"
                       "mac_b=$(ip -n $b -br link show veth1 | awk '{print $3}')\n"
                       "ip -n $a neigh replace %6 lladdr $mac_b dev veth0 nud permanent\n"
                       "ip -n $a neigh replace %7 lladdr $mac_b dev veth0 nud permanent\n"
                       "ip -n $b neigh replace %8 lladdr $mac_a dev veth1 nud permanent\n")
            .arg(pair_.a(), pair_.b(), sysctls, ipv6 == Ipv6::Off ? noIpv6 : QString(),
                 offload == Offload::Off ? QStringLiteral("1") : QStringLiteral("65535"),
                 QLatin1String(kAddressB), QLatin1String(kSilentAddress), QLatin1String(kAddressA));
    ASSERT_EQ(shellFailure(script + (ipv6 == Ipv6::On ? neighbours6 : QString())), QString());
    QThread::msleep(50); // what switching IPv6 off sent is sent
}

void KernelCountersTest::openCounters(KernelSocketCounters &counters)
{
    QString error;
    if (counters.open(&error))
        return;
    KERNEL_TEST_LACKS("the kernel programs did not load: " + error.toStdString());
}

LinkStats KernelCountersTest::statsOfA()
{
    QFile file(QStringLiteral("/proc/thread-self/net/dev")); // this thread is in A
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    for (const QByteArray &line : file.readAll().split('\n')) {
        // A large count follows the name's colon without a space.
        const QList<QByteArray> field = QByteArray(line).replace(':', ' ').simplified().split(' ');
        if (field.size() > 10 && field[0] == "veth0")
            return {field[1].toULongLong(), field[2].toULongLong(), field[9].toULongLong(),
                    field[10].toULongLong()};
    }
    ADD_FAILURE() << "no veth0 in namespace A";
    return {};
}

void KernelCountersTest::inB(const std::function<void()> &work)
{
    std::thread worker([&] {
        const testsupport::NetnsEntry entry(pair_.b());
        if (entry.ok())
            work();
        else
            ADD_FAILURE() << "cannot enter " << pair_.b().toStdString();
    });
    worker.join();
}

void KernelCountersTest::drainFinished()
{
    std::vector<KernelSocketCount> taken;
    counters_.takeFinished(taken);
    for (const KernelSocketCount &socket : taken) {
        EXPECT_TRUE(finished_.emplace(socket.cookie, socket).second)
            << "finished twice: " << socket.cookie;
    }
}

bool KernelCountersTest::waitFinished(const std::set<quint64> &cookies)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        drainFinished();
        bool all = true;
        for (quint64 cookie : cookies)
            all = all && finished_.count(cookie) == 1;
        if (all)
            return true;
        if (clock.elapsed() > 5000)
            return false;
        QThread::msleep(20);
    }
}

SocketsByCookie KernelCountersTest::live()
{
    return live(counters_);
}

SocketsByCookie KernelCountersTest::live(KernelSocketCounters &counters)
{
    std::vector<KernelSocketCount> sockets;
    QString error;
    EXPECT_TRUE(counters.readLive(sockets, &error)) << error.toStdString();
    SocketsByCookie result;
    for (const KernelSocketCount &socket : sockets)
        EXPECT_TRUE(result.emplace(socket.cookie, socket).second) << "twice: " << socket.cookie;
    return result;
}

} // namespace kerneltest
