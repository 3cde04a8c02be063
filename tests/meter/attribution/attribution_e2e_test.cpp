// Real TCP traffic between two network namespaces, attributed in the first.
#include "netns_pair.h"
#include "socket_attribution.h"

#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

using namespace vexmora::meter;
using testsupport::NetnsPair;

namespace {

const QString kPeerApp = QStringLiteral("vxattr_peer.py");

// The peer script under Debian's python in a namespace; it talks in lines.
class Peer
{
public:
    Peer(const QString &netns, const QStringList &args)
    {
        const QStringList command =
            testsupport::inNamespace(netns, QStringList{QStringLiteral("/usr/bin/python3"),
                                                        QStringLiteral(VXATTR_PEER_SCRIPT)} +
                                                args);
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

class AttributionE2e : public testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        ASSERT_EQ(pair_.error(), QString());
        inA_ = std::make_unique<testsupport::NetnsEntry>(pair_.a());
        ASSERT_TRUE(inA_->ok());
    }
    void open()
    {
        QString error;
        ASSERT_TRUE(attribution_.open(&error)) << error.toStdString();
    }
    // The peer's bytes in one sample; no byte here may lack an owner.
    ByteCounts sampleOf(const Peer &peer)
    {
        ByteCounts sum;
        for (const ProcessTraffic &traffic : attribution_.sample()) {
            EXPECT_NE(traffic.app, QLatin1String(kUnattributed));
            if (traffic.pid == peer.pid() && traffic.app == kPeerApp &&
                traffic.name == QLatin1String("python3"))
                sum += traffic.bytes;
        }
        return sum;
    }
    // Destroy messages go out from a kernel work queue after the close.
    static void letDestroyMessagesArrive() { QThread::msleep(300); }

    NetnsPair pair_;
    std::unique_ptr<testsupport::NetnsEntry> inA_;
    SocketAttribution attribution_;
};

TEST_F(AttributionE2e, ConnectionLivingAcrossSamplesCountsItsPayloadOnce)
{
    constexpr quint64 kPayload = 8'000'000;
    open();
    Peer sink(pair_.b(), {QStringLiteral("receive"), QStringLiteral("5001")});
    ASSERT_EQ(sink.readLine(), QLatin1String("ready"));
    Peer sender(pair_.a(), {QStringLiteral("send"), QLatin1String(NetnsPair::kAddressB4),
                            QStringLiteral("5001"), QString::number(kPayload)});
    ASSERT_EQ(sender.readLine(), QLatin1String("connected"));
    ByteCounts total = sampleOf(sender);
    sender.tell();
    ASSERT_EQ(sender.readLine(), QLatin1String("sent"));
    const ByteCounts whileOpen = sampleOf(sender);
    EXPECT_GT(whileOpen.sent, 0u) << "counted from a dump, before the close";
    total += whileOpen;
    sender.tell();
    ASSERT_TRUE(sender.finish());
    ASSERT_EQ(sink.readLine(), QStringLiteral("received %1").arg(kPayload));
    letDestroyMessagesArrive();
    total += sampleOf(sender);

    EXPECT_NEAR(double(total.sent), double(kPayload), kPayload * 0.001);
    EXPECT_LT(total.recv, 2u) << "the peer's FIN may count as one byte";
}

TEST_F(AttributionE2e, AcceptedConnectionClosedBetweenSamplesGoesToTheListenersOwner)
{
    constexpr quint64 kPayload = 3'000'000;
    open();
    Peer receiver(pair_.a(), {QStringLiteral("receive"), QStringLiteral("5002")});
    ASSERT_EQ(receiver.readLine(), QLatin1String("ready"));
    ByteCounts total = sampleOf(receiver);
    Peer client(pair_.b(), {QStringLiteral("send-once"), QLatin1String(NetnsPair::kAddressA6),
                            QStringLiteral("5002"), QString::number(kPayload)});
    ASSERT_TRUE(client.finish());
    ASSERT_EQ(receiver.readLine(), QStringLiteral("received %1").arg(kPayload));
    letDestroyMessagesArrive();
    total += sampleOf(receiver);

    EXPECT_NEAR(double(total.recv), double(kPayload), kPayload * 0.001);
    EXPECT_EQ(total.sent, 0u);
    EXPECT_EQ(attribution_.health().vanishedSockets, 0u);
}

TEST_F(AttributionE2e, DestroyMessagesTheKernelDropsAreCountedNotFatal)
{
    attribution_.setDestroyBufferBytes(1); // the kernel's minimum: a few messages
    open();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 512), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::vector<int> clients(200);
    for (int &client : clients) {
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&address), length), 0);
        ::close(::accept(listener, nullptr, nullptr));
    }
    attribution_.sample();
    for (int client : clients)
        ::close(client);
    letDestroyMessagesArrive();
    attribution_.sample();
    attribution_.sample();
    ::close(listener);

    EXPECT_GT(attribution_.lostNotifications(), 0u);
    EXPECT_GT(attribution_.health().vanishedSockets, 0u);
}

} // namespace
