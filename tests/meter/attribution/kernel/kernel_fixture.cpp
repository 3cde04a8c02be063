#include "kernel_fixture.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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

sockaddr_in address4(const char *address, quint16 port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

sockaddr_in6 address6(const char *address, quint16 port)
{
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address, &result.sin6_addr);
    return result;
}

quint64 cookieOf(int fd)
{
    quint64 cookie = 0;
    socklen_t length = sizeof cookie;
    ::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length);
    return cookie;
}

quint16 portOf(int fd)
{
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
    return ntohs(local.sin6_port); // the same place in sockaddr_in
}

void KernelCountersTest::SetUp()
{
    if (::geteuid() != 0) {
        if (inCi())
            FAIL() << "the kernel counters' tests need root";
        GTEST_SKIP() << "network namespaces and BPF need root";
    }
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

void KernelCountersTest::makeLinkExact(Offload offload)
{
    const QString a = pair_.a(), b = pair_.b();
    const QString segments =
        offload == Offload::Off ? QStringLiteral("1") : QStringLiteral("65535");
    ASSERT_EQ(
        shellFailure(
            QStringLiteral("for ns in %1 %2; do\n"
                           "  ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                           "net.ipv6.conf.default.disable_ipv6=1 net.ipv4.tcp_early_retrans=0\n"
                           "done\n"
                           "ip -n %1 link set veth0 gso_max_segs %5\n"
                           "ip -n %2 link set veth1 gso_max_segs %5\n"
                           "ip -n %1 neigh replace %4 lladdr $(ip -n %2 -br link show veth1 | "
                           "awk '{print $3}') dev veth0 nud permanent\n"
                           "ip -n %2 neigh replace %3 lladdr $(ip -n %1 -br link show veth0 | "
                           "awk '{print $3}') dev veth1 nud permanent")
                .arg(a, b, QLatin1String(kAddressA), QLatin1String(kAddressB), segments)),
        QString());
    QThread::msleep(50); // what switching IPv6 off sent is sent
}

void KernelCountersTest::makeLinkQuiet()
{
    const QString a = pair_.a(), b = pair_.b();
    ASSERT_EQ(shellFailure(
                  QStringLiteral(
                      "mac_a=$(ip -n %1 -br link show veth0 | awk '{print $3}')\n"
                      "mac_b=$(ip -n %2 -br link show veth1 | awk '{print $3}')\n"
                      "ip -n %1 neigh replace %4 lladdr $mac_b dev veth0 nud permanent\n"
                      "ip -n %2 neigh replace %3 lladdr $mac_a dev veth1 nud permanent\n"
                      "ip -n %1 neigh replace fd00:231::2 lladdr $mac_b dev veth0 nud permanent\n"
                      "ip -n %2 neigh replace fd00:231::1 lladdr $mac_a dev veth1 nud permanent")
                      .arg(a, b, QLatin1String(kAddressA), QLatin1String(kAddressB))),
              QString());
}

void KernelCountersTest::openCounters(KernelSocketCounters &counters)
{
    QString error;
    if (counters.open(&error))
        return;
    if (inCi())
        FAIL() << "the kernel programs did not load: " << error.toStdString();
    GTEST_SKIP() << "the kernel programs did not load: " << error.toStdString();
}

LinkStats KernelCountersTest::statsOfA()
{
    QProcess ip;
    ip.start(QStringLiteral("ip"),
             {QStringLiteral("-n"), pair_.a(), QStringLiteral("-s"), QStringLiteral("-j"),
              QStringLiteral("link"), QStringLiteral("show"), QStringLiteral("veth0")});
    ip.waitForFinished(10000);
    const QJsonObject link = QJsonDocument::fromJson(ip.readAllStandardOutput())
                                 .array()
                                 .at(0)
                                 .toObject()[QLatin1String("stats64")]
                                 .toObject();
    const QJsonObject rx = link[QLatin1String("rx")].toObject();
    const QJsonObject tx = link[QLatin1String("tx")].toObject();
    const auto number = [](const QJsonObject &o, const char *key) {
        return quint64(o[QLatin1String(key)].toDouble(-1));
    };
    return {number(rx, "bytes"), number(rx, "packets"), number(tx, "bytes"), number(tx, "packets")};
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
    std::vector<KernelSocketCount> sockets;
    QString error;
    EXPECT_TRUE(counters_.readLive(sockets, &error)) << error.toStdString();
    SocketsByCookie result;
    for (const KernelSocketCount &socket : sockets)
        EXPECT_TRUE(result.emplace(socket.cookie, socket).second) << "twice: " << socket.cookie;
    return result;
}

} // namespace kerneltest
