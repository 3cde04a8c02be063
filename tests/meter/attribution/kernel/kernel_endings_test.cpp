// The source over the kernel programs. Every way a socket's life ends, each
// counted once: what the source hands to the applications equals the bytes on
// the veth, and nothing of the case's sockets stays in the kernel's live map.
// And the owner of a socket older than the programs.
#include "bpf_source.h"
#include "kernel_endings.h"
#include "process_attribution.h"
#include "socket_inodes.h"

#include <QThread>
#include <functional>

using namespace kerneltest;
using vexmora::meter::BpfSource;
using vexmora::meter::ProcessAttribution;
using vexmora::meter::ProcessTraffic;
using vexmora::meter::SourceSample;

namespace {

TEST_F(KernelEndings, EveryEndingIsCountedOnceAndLeavesNothingInTheLiveMap)
{
    prepareLink(Ipv6::On);
    QThread::msleep(1500); // the reports IPv6 sent when the link came up are sent
    auto owned = std::make_unique<vexmora::meter::KernelSocketCounters>();
    vexmora::meter::KernelSocketCounters &counters = *owned;
    BpfSource source(std::move(owned), [](QHash<quint64, quint32> &, QString *) { return true; });
    QString error;
    if (!source.open(&error))
        KERNEL_TEST_LACKS("the kernel programs did not load: " + error.toStdString());
    source.setHostRoutes(keptOnHost());
    source.sample();
    const std::vector<Kind> all{Kind::V4, Kind::V6, Kind::Mapped}, v4{Kind::V4};
    const struct
    {
        const char *name;
        std::vector<Kind> kinds;
        std::function<void(Kind)> run;
    } cases[] = {
        {"close with unread data", all, [&](Kind k) { closeWithUnreadData(k, false); }},
        {"SO_LINGER {1, 0}", all, [&](Kind k) { closeWithUnreadData(k, true); }},
        {"a reset from the peer", all, [&](Kind k) { peerResets(k); }},
        {"a refused connect", all, [&](Kind k) { refusedConnect(k); }},
        {"a connect that times out", all, [&](Kind k) { synOnlyTimeout(k); }},
        {"shutdown(SHUT_RDWR), then close", all, [&](Kind k) { shutdownThenClose(k); }},
        {"the program closes first", all, [&](Kind k) { orderlyClose(k, true); }},
        {"the peer closes first", all, [&](Kind k) { orderlyClose(k, false); }},
        {"connected again after a refusal", all, [&](Kind k) { connectAgain(k, false); }},
        {"connected again after AF_UNSPEC", all, [&](Kind k) { connectAgain(k, true); }},
        {"Fast Open data", all, [&](Kind k) { fastOpen(k); }},
        {"reset by the listener before accept", all,
         [&](Kind k) { listenerResetsBeforeAccept(k); }},
        {"passed over SCM_RIGHTS", all, [&](Kind k) { passedOverScmRights(k); }},
        {"inherited across fork and exec", all, [&](Kind k) { inheritedAcrossExec(k); }},
        {"connected UDP", all, [&](Kind k) { udp(k, true); }},
        {"unconnected UDP", all, [&](Kind k) { udp(k, false); }},
        {"ICMP echo over a ping socket", {Kind::V4, Kind::V6}, [&](Kind k) { pingSocket(k); }},
    };
    const auto liveCookies = [&] {
        std::set<quint64> cookies;
        for (const auto &socket : live(counters))
            cookies.insert(socket.first);
        return cookies;
    };
    std::map<quint64, std::string> caseOfCookie;
    for (const auto &c : cases) {
        for (Kind kind : c.kinds) {
            const std::string name = std::string(c.name) + ", " + nameOf(kind);
            SCOPED_TRACE(name);
            const std::set<quint64> before = liveCookies();
            const LinkStats start = unicastOfA();
            c.run(kind);
            QThread::msleep(200); // the last packets of the ending
            const LinkStats end = unicastOfA();
            const SourceSample sample = source.sample();
            ByteCounts attributed, unknown;
            for (const auto &socket : sample.bytes)
                (socket.owner.isKnown() ? attributed : unknown) += socket.bytes;
            EXPECT_TRUE(withinATenthOfAPercent(attributed.recv, end.rxBytes - start.rxBytes))
                << "received " << attributed.recv << ", the veth " << end.rxBytes - start.rxBytes;
            EXPECT_TRUE(withinATenthOfAPercent(attributed.sent, end.txBytes - start.txBytes))
                << "sent " << attributed.sent << ", the veth " << end.txBytes - start.txBytes;
            EXPECT_EQ(unknown.total(), 0u);
            for (quint64 cookie : liveCookies()) {
                if (!before.count(cookie))
                    caseOfCookie.emplace(cookie, name);
            }
        }
    }
    QThread::msleep(5000);
    for (quint64 cookie : liveCookies())
        ADD_FAILURE() << "still in the live map 5 s after it ended: a socket of \""
                      << caseOfCookie[cookie] << "\"";
}

using KernelSource = KernelCountersTest;

// Datagrams arrive at a socket older than the programs, which its program
// has not read yet: no process moved them, so the socket is its holder's,
// found through the listing of the sockets at the start.
TEST_F(KernelSource, ASocketOlderThanTheProgramsIsItsHoldersThroughTheListingAtTheStart)
{
    constexpr int kDatagrams = 10, kPayload = 1000;
    prepareLink(Ipv6::Off);
    const int older = track(udpAt(kAddressA));
    BpfSource source(vexmora::meter::listSocketInodes);
    QString error;
    if (!source.open(&error))
        KERNEL_TEST_LACKS("the kernel programs did not load: " + error.toStdString());
    source.setHostRoutes(keptOnHost());
    ProcessAttribution processes;
    processes.start();
    processes.attribute(source.sample(), source); // the baseline
    inB([&] {
        const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        const Address to = at(kAddressA, portOf(older));
        const std::vector<char> payload(kPayload, 'u');
        for (int i = 0; i < kDatagrams; ++i)
            ::sendto(sender, payload.data(), payload.size(), 0, to.sockaddr(), to.length);
        ::close(sender);
    });
    QThread::msleep(100);

    ByteCounts ours;
    for (const ProcessTraffic &traffic : processes.attribute(source.sample(), source)) {
        if (traffic.pid == ::getpid())
            ours += traffic.bytes;
    }
    // Each datagram: its payload, UDP and IPv4 headers and an Ethernet header.
    EXPECT_EQ(ours.recv, quint64(kDatagrams) * (kPayload + 8 + 20 + 14));
    EXPECT_EQ(ours.sent, 0u);
}

} // namespace
