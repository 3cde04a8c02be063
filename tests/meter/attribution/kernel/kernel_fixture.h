#pragma once

// The kernel counters against real traffic between two network namespaces: the
// test's main thread lives in A, whose sockets are counted; B is the peer.
// Needs root, cgroup v2 and BPF: skips without them, fails in CI.

#include "kernel_socket_counters.h"
#include "kernel_sockets.h"
#include "netns_pair.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace kerneltest {

using vexmora::meter::ByteCounts;
using vexmora::meter::KernelSocketCount;
using vexmora::meter::KernelSocketCounters;

bool inCi();
// What the kernel tests need is missing: a failure in CI, else a skip.
#define KERNEL_TEST_LACKS(why)                                                                     \
    do {                                                                                           \
        if (kerneltest::inCi())                                                                    \
            FAIL() << (why);                                                                       \
        GTEST_SKIP() << (why);                                                                     \
    } while (false)

using testsupport::shellFailure;

struct LinkStats
{
    quint64 rxBytes = 0, rxPackets = 0, txBytes = 0, txPackets = 0;
};

// Each socket once: the finished ones, then the live ones.
using SocketsByCookie = std::map<quint64, KernelSocketCount>;

// A's IPv4 address, then every address: where the host keeps the traffic of
// other namespaces, B's and those of anything else running on the machine.
std::vector<vexmora::meter::RoutePrefix> keptOnHost();

class KernelCountersTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Every frame on the veth is then one of a socket of A or B: neighbours
    // permanent (also for the silent addresses), nothing sent unasked (router
    // solicitations off, or IPv6 off altogether), Fast Open and ping sockets
    // allowed, and unless kept, segmentation offload off (one frame, one
    // segment).
    enum class Ipv6 { Off, On };
    enum class Offload { Off, Kept };
    void prepareLink(Ipv6 ipv6, Offload offload = Offload::Off);
    // Opens counters_ in A (or the given ones); skips where BPF cannot load.
    void openCounters() { openCounters(counters_); }
    // Opens them with A as the host that routes nothing out: the sockets of
    // other namespaces, B's among them, count nothing.
    void openCounters(KernelSocketCounters &counters);
    LinkStats statsOfA();
    // Runs work on a thread in namespace B and waits for it.
    void inB(const std::function<void()> &work);

    // Takes the finished sockets into finished_; each must finish once.
    void drainFinished();
    // Drains the finished sockets until all of `cookies` are among them (or 5 s pass).
    bool waitFinished(const std::set<quint64> &cookies);
    SocketsByCookie live();
    SocketsByCookie live(KernelSocketCounters &counters);

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
