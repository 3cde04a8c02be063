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
    // Few processes: under emulation (the kernel matrix) each takes a while.
    const bool withIpv6 = ipv6 == Ipv6::On;
    const QString sysctl =
        QStringLiteral(
            "nsenter --net=/run/netns/%1 sysctl -qw net.ipv4.tcp_early_retrans=0 "
            "net.ipv4.tcp_fastopen=3 net.ipv4.ping_group_range='0 0' "
            "net.ipv6.conf.all.router_solicitations=0 net.ipv6.conf.default.router_solicitations=0 "
            "net.ipv6.conf.%2.router_solicitations=0") +
        (withIpv6 ? QString()
                  : QStringLiteral(" net.ipv6.conf.all.disable_ipv6=1 "
                                   "net.ipv6.conf.default.disable_ipv6=1")) +
        QLatin1Char('\n');
    // Each end's link address, and with IPv6 its link-local one.
    const QString addresses =
        QStringLiteral("set -- $(ip -n %1 -br link show %2); mac_%3=$3\n"
                       "set -- $(ip -n %1 -6 -br addr show dev %2 scope link); local_%3=${3%/*}\n");
    // The other end's addresses (and the silent ones, which nobody answers)
    // reached through its link address.
    const QString batch = QStringLiteral("ip -n %1 -batch - <<EOF\n"
                                         "link set %2 gso_max_segs %3\n"
                                         "%4"
                                         "EOF\n");
    const auto neighbours = [](const QStringList &addresses, const char *end,
                               const char *device) -> QString {
        const QString line =
            QStringLiteral("neigh replace %1 lladdr $mac_%2 dev %3 nud permanent\n");
        QString lines;
        for (const QString &address : addresses)
            lines += line.arg(address, QLatin1String(end), QLatin1String(device));
        // Its link-local address, where it has one.
        return lines + QStringLiteral("${local_%1:+neigh replace $local_%1 lladdr $mac_%1 dev %2 "
                                      "nud permanent}\n")
                           .arg(QLatin1String(end), QLatin1String(device));
    };
    const QString segments =
        offload == Offload::Off ? QStringLiteral("1") : QStringLiteral("65535");
    QStringList towardsB{QLatin1String(kAddressB), QLatin1String(kSilentAddress)};
    QStringList towardsA{QLatin1String(kAddressA)};
    if (withIpv6) {
        towardsB << QLatin1String(kAddressB6) << QLatin1String(kSilentAddress6);
        towardsA << QLatin1String(kAddressA6);
    }
    const QString a = pair_.a(), b = pair_.b();
    const QString script =
        sysctl.arg(a, QStringLiteral("veth0")) + sysctl.arg(b, QStringLiteral("veth1")) +
        addresses.arg(a, QStringLiteral("veth0"), QStringLiteral("a")) +
        addresses.arg(b, QStringLiteral("veth1"), QStringLiteral("b")) +
        batch.arg(a, QStringLiteral("veth0"), segments, neighbours(towardsB, "b", "veth0")) +
        batch.arg(b, QStringLiteral("veth1"), segments, neighbours(towardsA, "a", "veth1"));
    ASSERT_EQ(shellFailure(script), QString());
    QThread::msleep(50); // what switching IPv6 off sent is sent
}

std::vector<vexmora::meter::RoutePrefix> keptOnHost()
{
    vexmora::meter::RoutePrefix v4{{}, 128, true}, everything{{}, 0, true};
    v4.address[10] = v4.address[11] = 0xff;
    inet_pton(AF_INET, kAddressA, &v4.address[12]);
    return {v4, everything};
}

void KernelCountersTest::openCounters(KernelSocketCounters &counters)
{
    QString error;
    if (counters.open(&error) && counters.setHostRoutes(keptOnHost(), &error) == 0)
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
