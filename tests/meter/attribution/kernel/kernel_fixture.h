#pragma once

// The kernel counters against real traffic between two network namespaces: the
// test's main thread lives in A, whose sockets are counted; B is the peer.
// Needs root, cgroup v2 and BPF: skips without them, fails in CI.

#include "kernel_socket_counters.h"
#include "netns_pair.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <vector>

namespace kerneltest {

using vexmora::meter::ByteCounts;
using vexmora::meter::KernelSocketCount;
using vexmora::meter::KernelSocketCounters;

// The addresses of the namespaces' ends of the veth (testsupport::NetnsPair).
inline constexpr const char *kAddressA = "10.231.0.1";
inline constexpr const char *kAddressB = "10.231.0.2";
inline constexpr const char *kAddressA6 = "fd00:231::1";
inline constexpr const char *kAddressB6 = "fd00:231::2";

bool inCi();

using testsupport::shellFailure;

struct LinkStats
{
    quint64 rxBytes = 0, rxPackets = 0, txBytes = 0, txPackets = 0;
};

sockaddr_in address4(const char *address, quint16 port);
sockaddr_in6 address6(const char *address, quint16 port);
quint64 cookieOf(int fd);
quint16 portOf(int fd);
template <typename Address> const sockaddr *asSockaddr(const Address &a)
{
    return reinterpret_cast<const sockaddr *>(&a);
}

// Each socket once: the finished ones, then the live ones.
using SocketsByCookie = std::map<quint64, KernelSocketCount>;

class KernelCountersTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Every frame on the veth is then one of a socket of A or B: neighbours
    // permanent, IPv6 off, and unless kept, segmentation offload off (one
    // frame, one segment).
    enum class Offload { Off, Kept };
    void makeLinkExact(Offload offload = Offload::Off);
    // Neighbours permanent for both families, IPv6 kept.
    void makeLinkQuiet();
    // Opens counters_ in A (or the given ones); skips where BPF cannot load.
    void openCounters() { openCounters(counters_); }
    void openCounters(KernelSocketCounters &counters);
    LinkStats statsOfA();
    // Runs work on a thread in namespace B and waits for it.
    void inB(const std::function<void()> &work);

    // Takes the finished sockets into finished_; each must finish once.
    void drainFinished();
    // Drains the finished sockets until all of `cookies` are among them (or 5 s pass).
    bool waitFinished(const std::set<quint64> &cookies);
    SocketsByCookie live();

    testsupport::NetnsPair pair_;
    std::unique_ptr<testsupport::NetnsEntry> inA_;
    KernelSocketCounters counters_;
    SocketsByCookie finished_; // what waitFinished() has taken so far
    std::vector<int> fds_;     // closed at the end of the test
    int track(int fd)
    {
        fds_.push_back(fd);
        return fd;
    }
};

} // namespace kerneltest
