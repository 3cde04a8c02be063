// Real TCP traffic between two network namespaces, attributed in the first.
#include "netns_pair.h"
#include "socket_attribution.h"

#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vexmora::meter;
using testsupport::NetnsEntry;
using testsupport::NetnsPair;

namespace {

const QString kPeerApp = QStringLiteral("vxattr_peer.py");

// The peer script run by Debian's python in a namespace; talks in lines.
class Peer
{
public:
    Peer(const QString &netns, const QStringList &args)
    {
        const QStringList python{QStringLiteral("/usr/bin/python3"),
                                 QStringLiteral(VXATTR_PEER_SCRIPT)};
        const QStringList command = testsupport::inNamespace(netns, python + args);
        process_.start(command.first(), command.mid(1));
        process_.waitForStarted();
        pid_ = process_.processId(); // `ip netns exec` execs the command: the same pid
    }
    ~Peer()
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000))
            process_.kill();
    }
    QString readLine()
    {
        while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
        }
        return QString::fromUtf8(process_.readLine()).trimmed();
    }
    void tell() { process_.write("\n"); }
    bool finish() { return process_.waitForFinished(10000) && process_.exitCode() == 0; }
    qint64 pid() const { return pid_; }

private:
    QProcess process_;
    qint64 pid_ = 0;
};

ByteCounts bytesOf(const std::vector<ProcessTraffic> &sample, qint64 pid, const QString &app)
{
    ByteCounts sum;
    for (const ProcessTraffic &traffic : sample) {
        EXPECT_NE(traffic.app, QLatin1String(kUnattributed)) << "no traffic here lacks an owner";
        if (traffic.pid == pid && traffic.app == app && traffic.name == QLatin1String("python3"))
            sum += traffic.bytes;
    }
    return sum;
}

// The destroy messages go out from a kernel work queue after the close.
void letDestroyMessagesArrive()
{
    QThread::msleep(300);
}

class AttributionE2e : public testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        ASSERT_EQ(pair_.error(), QString());
        entry_ = std::make_unique<NetnsEntry>(pair_.a());
        ASSERT_TRUE(entry_->ok());
    }
    void TearDown() override { entry_.reset(); }

    NetnsPair pair_;
    std::unique_ptr<NetnsEntry> entry_;
};

TEST_F(AttributionE2e, ConnectionLivingAcrossSamplesCountsItsPayloadOnce)
{
    constexpr quint64 kPayload = 8'000'000;
    SocketAttribution attribution;
    QString error;
    ASSERT_TRUE(attribution.open(&error)) << error.toStdString();
    Peer sink(pair_.b(), {QStringLiteral("receive"), QStringLiteral("5001")});
    ASSERT_EQ(sink.readLine(), QLatin1String("ready"));
    Peer sender(pair_.a(), {QStringLiteral("send"), QLatin1String(NetnsPair::kAddressB4),
                            QStringLiteral("5001"), QString::number(kPayload)});
    ASSERT_EQ(sender.readLine(), QLatin1String("connected"));

    ByteCounts total = bytesOf(attribution.sample(), sender.pid(), kPeerApp);
    sender.tell();
    ASSERT_EQ(sender.readLine(), QLatin1String("sent"));
    const ByteCounts whileOpen = bytesOf(attribution.sample(), sender.pid(), kPeerApp);
    EXPECT_GT(whileOpen.sent, 0u) << "counted from a dump, before the close";
    total += whileOpen;
    sender.tell();
    ASSERT_TRUE(sender.finish());
    ASSERT_EQ(sink.readLine(), QStringLiteral("received %1").arg(kPayload));
    letDestroyMessagesArrive();
    total += bytesOf(attribution.sample(), sender.pid(), kPeerApp);

    EXPECT_NEAR(double(total.sent), double(kPayload), kPayload * 0.001);
    EXPECT_LT(total.recv, 2u);
    EXPECT_EQ(attribution.lostNotifications(), 0u);
}

TEST_F(AttributionE2e, AcceptedConnectionClosedBetweenSamplesGoesToTheListenersOwner)
{
    constexpr quint64 kPayload = 3'000'000;
    SocketAttribution attribution;
    QString error;
    ASSERT_TRUE(attribution.open(&error)) << error.toStdString();
    Peer receiver(pair_.a(), {QStringLiteral("receive"), QStringLiteral("5002")});
    ASSERT_EQ(receiver.readLine(), QLatin1String("ready"));
    ByteCounts total = bytesOf(attribution.sample(), receiver.pid(), kPeerApp);

    Peer client(pair_.b(), {QStringLiteral("send-once"), QLatin1String(NetnsPair::kAddressA6),
                            QStringLiteral("5002"), QString::number(kPayload)});
    ASSERT_TRUE(client.finish());
    ASSERT_EQ(receiver.readLine(), QStringLiteral("received %1").arg(kPayload));
    letDestroyMessagesArrive();
    total += bytesOf(attribution.sample(), receiver.pid(), kPeerApp);

    EXPECT_NEAR(double(total.recv), double(kPayload), kPayload * 0.001);
    EXPECT_EQ(total.sent, 0u);
    EXPECT_EQ(attribution.health().vanishedSockets, 0u);
}

int loopbackConnection(int listener)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(client, reinterpret_cast<sockaddr *>(&address), length);
    ::close(::accept(listener, nullptr, nullptr));
    return client;
}

TEST_F(AttributionE2e, DestroyMessagesTheKernelDropsAreCountedNotFatal)
{
    SocketAttribution attribution;
    attribution.setDestroyBufferBytes(1); // the kernel's minimum, a few messages
    QString error;
    ASSERT_TRUE(attribution.open(&error)) << error.toStdString();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&loopback), sizeof loopback), 0);
    ASSERT_EQ(::listen(listener, 512), 0);
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i)
        clients.push_back(loopbackConnection(listener));
    attribution.sample();
    for (int client : clients)
        ::close(client);
    letDestroyMessagesArrive();
    attribution.sample();
    attribution.sample();

    EXPECT_GT(attribution.lostNotifications(), 0u);
    EXPECT_GT(attribution.health().vanishedSockets, 0u);
    ::close(listener);
}

} // namespace
