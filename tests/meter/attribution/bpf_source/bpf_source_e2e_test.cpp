// The kernel programs' source against real traffic in network namespaces of
// the test's own: needs root, cgroup v2 and BPF; skips without, fails in CI.
#include "bpf_source.h"
#include "netns_pair.h"
#include "process_attribution.h"
#include "socket_inodes.h"

#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace vexmora::meter;
using testsupport::NetnsEntry;
using testsupport::NetnsPair;

namespace {

// Datagrams arrive at a socket older than the programs, which its program
// has not read yet: no process moved them, so the socket is its holder's,
// found through the listing of the sockets at the start.
TEST(BpfSourceE2e, SocketOlderThanTheProgramsIsItsHoldersThroughTheListingAtTheStart)
{
    constexpr int kDatagrams = 10, kPayload = 1000;
    if (::geteuid() != 0)
        GTEST_SKIP() << "network namespaces and BPF need root";
    NetnsPair pair;
    ASSERT_EQ(pair.error(), QString());
    const NetnsEntry inA(pair.a());
    ASSERT_TRUE(inA.ok());
    const int older = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, htons(40123), {}, {}};
    ASSERT_EQ(::bind(older, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);

    BpfSource source(listSocketInodes);
    QString error;
    if (!source.open(&error)) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            FAIL() << error.toStdString();
        GTEST_SKIP() << error.toStdString();
    }
    ProcessAttribution processes;
    processes.start();
    processes.attribute(source.sample(), source); // the baseline
    std::thread([&] {
        const NetnsEntry inB(pair.b());
        const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{AF_INET, htons(40123), {}, {}};
        ::inet_pton(AF_INET, "10.231.0.1", &to.sin_addr);
        const std::vector<char> payload(kPayload, 'u');
        for (int i = 0; i < kDatagrams && inB.ok(); ++i)
            ::sendto(sender, payload.data(), payload.size(), 0,
                     reinterpret_cast<const sockaddr *>(&to), sizeof to);
        ::close(sender);
    }).join();
    QThread::msleep(100);

    ByteCounts ours;
    for (const ProcessTraffic &traffic : processes.attribute(source.sample(), source)) {
        if (traffic.pid == ::getpid())
            ours += traffic.bytes;
    }
    // Each datagram: its payload, UDP and IPv4 headers and an Ethernet header.
    EXPECT_EQ(ours.recv, quint64(kDatagrams) * (kPayload + 8 + 20 + 14));
    EXPECT_EQ(ours.sent, 0u);
    ::close(older);
}

} // namespace
