// What only the kernel's own destroy messages show, in network namespaces of
// the test's own. (A connection living across samples is in the meter's
// end-to-end test.)
#include "netns_pair.h"
#include "process_attribution.h"
#include "socket_inodes.h"
#include "socket_table_source.h"

#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vexmora::meter;
using testsupport::NetnsEntry;
using testsupport::NetnsPair;

namespace {

class AttributionE2e : public testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        ASSERT_EQ(pair_.error(), QString());
        inA_ = std::make_unique<NetnsEntry>(pair_.a());
        ASSERT_TRUE(inA_->ok());
        // Listening on [::], IPv4 included, at a port the kernel chose.
        listener_ = ::socket(AF_INET6, SOCK_STREAM, 0);
        socklen_t length = sizeof address_;
        ASSERT_EQ(::bind(listener_, peer(), length), 0);
        ASSERT_EQ(::listen(listener_, 512), 0);
        ::getsockname(listener_, peer(), &length);
        const timeval acceptTimeout{10, 0};
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &acceptTimeout, sizeof acceptTimeout);
    }
    void TearDown() override { ::close(listener_); }
    void open()
    {
        QString error;
        ASSERT_TRUE(source_.open(&error)) << error.toStdString();
        processes_.start();
        sample(); // the baseline
    }
    std::vector<ProcessTraffic> sample() { return processes_.attribute(source_.sample(), source_); }
    AttributionHealth health() const
    {
        AttributionHealth health;
        source_.addHealth(health);
        return health;
    }
    sockaddr *peer() { return reinterpret_cast<sockaddr *>(&address_); }
    // Destroy messages go out from a kernel work queue after the close.
    static void letDestroyMessagesArrive() { QThread::msleep(300); }

    NetnsPair pair_;
    std::unique_ptr<NetnsEntry> inA_;
    SocketTableSource source_;
    ProcessAttribution processes_;
    sockaddr_in6 address_{AF_INET6, 0, 0, {}, 0};
    int listener_ = -1;
};

TEST_F(AttributionE2e, AcceptedConnectionClosedBetweenSamplesGoesToTheListenersOwner)
{
    constexpr size_t kPayload = 3'000'000;
    open();
    std::thread client([&] { // from the other namespace, its whole life between two samples
        const NetnsEntry inB(pair_.b());
        const int socket = ::socket(AF_INET6, SOCK_STREAM, 0);
        ::inet_pton(AF_INET6, NetnsPair::kAddressA6, &address_.sin6_addr);
        const std::vector<char> payload(kPayload, 'x');
        if (inB.ok() && ::connect(socket, peer(), sizeof address_) == 0)
            ::send(socket, payload.data(), payload.size(), 0);
        ::close(socket);
    });
    const int accepted = ::accept(listener_, nullptr, nullptr);
    std::vector<char> buffer(65536);
    size_t received = 0;
    for (ssize_t n; (n = ::read(accepted, buffer.data(), buffer.size())) > 0;)
        received += size_t(n);
    ::close(accepted);
    client.join();
    ASSERT_EQ(received, kPayload);
    letDestroyMessagesArrive();

    ByteCounts ours;
    for (const ProcessTraffic &traffic : sample()) {
        EXPECT_NE(traffic.app, QLatin1String(kUnattributed));
        if (traffic.pid == ::getpid())
            ours += traffic.bytes;
    }
    // The payload and its segments' headers: at most 1448 bytes of payload
    // in each, 86 bytes of headers (IPv6, timestamps, Ethernet) on the wire.
    EXPECT_GE(ours.recv, kPayload + kPayload / 1448 * 86);
    EXPECT_LE(ours.recv, kPayload * 11 / 10);
    EXPECT_GT(ours.sent, 0u) << "the acknowledgements";
    EXPECT_LT(ours.sent, kPayload / 100);
    EXPECT_EQ(health().vanishedSockets, 0u);
}

TEST_F(AttributionE2e, DestroyMessagesTheKernelDropsAreCountedNotFatal)
{
    source_.setDestroyBufferBytes(1); // the kernel's minimum: a few messages
    open();
    address_.sin6_addr = in6addr_loopback;
    std::vector<int> clients(200);
    for (int &client : clients) {
        client = ::socket(AF_INET6, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(client, peer(), sizeof address_), 0);
        ::close(::accept(listener_, nullptr, nullptr));
    }
    sample();
    for (int client : clients)
        ::close(client);
    letDestroyMessagesArrive();
    sample();
    sample();

    EXPECT_GT(health().lostFinalCounts, 0u);
    EXPECT_GT(health().vanishedSockets, 0u);
}

// What another source takes over at its start: the sockets that exist.
TEST_F(AttributionE2e, ListingGivesEveryTcpAndUdpSocketsInodeByItsCookie)
{
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0); // bound: in the kernel's table
    const sockaddr_in any{AF_INET, 0, {}, {}};
    ASSERT_EQ(::bind(udp, reinterpret_cast<const sockaddr *>(&any), sizeof any), 0);
    QHash<quint64, quint32> inodes;
    QString error;
    ASSERT_TRUE(listSocketInodes(inodes, &error)) << error.toStdString();
    for (const int fd : {listener_, udp}) {
        quint64 cookie = 0;
        socklen_t length = sizeof cookie;
        ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length), 0);
        struct stat status
        {
        };
        ASSERT_EQ(::fstat(fd, &status), 0);
        EXPECT_EQ(inodes.value(cookie), quint32(status.st_ino)) << "socket " << fd;
    }
    ::close(udp);
}

} // namespace
