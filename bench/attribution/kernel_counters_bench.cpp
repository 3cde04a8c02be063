// vexmora-kernel-counters-bench: what the kernel counters (eBPF) cost and
// whether they lose anything: reading 3,000 and 6,000 live sockets (batch and
// entry by entry), the programs' time per packet, one TCP stream's throughput
// and 64-byte UDP datagrams per second over a veth with and without them, and
// 100,000 short connections in a minute drained every 2 s, with every
// program's time per run during them; listing the existing sockets (the sweep
// for stale entries); and fork + exec per second with and without the
// programs that record what processes execute. Needs root: the
// traffic runs between two network namespaces it creates (and deletes).
//
//   vexmora-kernel-counters-bench [ROUNDS] [CHURN_SECONDS]     (default 3, 60)

#include "kernel_socket_counters.h"
#include "kernel_traffic.h"
#include "netns_pair.h"
#include "program_runs.h"
#include "sample_stats.h"
#include "tcp_load.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>
#include <bpf/bpf.h>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

using namespace vexmora::meter;
using testsupport::NetnsPair;

using attributionbench::AllRuns;
using attributionbench::allRuns;
using attributionbench::printRunsBetween;
using attributionbench::ProgramRuns;
using attributionbench::runsOf;

namespace {

constexpr int kLoadPort = 6100;

double threadCpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The peer's sockets, of another network namespace, count as a container's:
// each packet is looked up in routes such as a host with a default route out
// and a few bridges has (none of them the peer's address, so every packet
// counts).
std::vector<vexmora::meter::RoutePrefix> hostWithBridges()
{
    std::vector<vexmora::meter::RoutePrefix> routes{{{}, 0, false}};
    for (quint8 i = 0; i < 32; ++i) {
        vexmora::meter::RoutePrefix bridge{{}, 96 + 24, true};
        bridge.address[10] = bridge.address[11] = 0xff;
        bridge.address[12] = 172;
        bridge.address[13] = quint8(16 + i);
        routes.push_back(bridge);
    }
    return routes;
}

bool openCounters(KernelSocketCounters &counters)
{
    QString error;
    if (counters.open(&error) && counters.setHostRoutes(hostWithBridges(), &error) == 0)
        return true;
    std::fprintf(stderr, "the kernel programs did not load: %s\n", qPrintable(error));
    return false;
}

void readLiveSection(int sockets, KernelSocketCounters &counters, int repeats)
{
    for (auto lookup : {KernelSocketCounters::LiveLookup::Batch,
                        KernelSocketCounters::LiveLookup::EntryByEntry}) {
        counters.setLiveLookup(lookup);
        std::vector<double> cpu, wall;
        std::size_t found = 0;
        for (int i = 0; i < repeats; ++i) {
            std::vector<KernelSocketCount> live;
            QString error;
            const double start = threadCpuMs();
            wall.push_back(bench::timeMicros([&] { counters.readLive(live, &error); }) / 1e3);
            cpu.push_back(threadCpuMs() - start);
            found = live.size();
        }
        const bench::Summary c = bench::summarize(cpu), w = bench::summarize(wall);
        std::printf("readLive, %d connections (%zu live entries), %-14s CPU median %.3f ms "
                    "(p90 %.3f), wall %.3f ms\n",
                    sockets, found,
                    lookup == KernelSocketCounters::LiveLookup::Batch ? "batch:"
                                                                      : "entry by entry:",
                    c.median, c.p90, w.median);
    }
    std::vector<double> cpu;
    std::size_t existing = 0;
    for (int i = 0; i < repeats; ++i) {
        std::unordered_set<quint64> cookies;
        QString error;
        const double start = threadCpuMs();
        counters.listExisting(cookies, &error);
        cpu.push_back(threadCpuMs() - start);
        existing = cookies.size();
    }
    std::printf("listExisting (the stale entries' sweep), %zu sockets: CPU median %.3f ms\n",
                existing, bench::summarize(cpu).median);
}

bool liveSections(const NetnsPair &pair, int repeats)
{
    KernelSocketCounters counters;
    if (!openCounters(counters))
        return false;
    attributionbench::TcpLoad load;
    const attributionbench::TcpLoad::Shape shape;
    const QByteArray peer = "/run/netns/" + pair.b().toUtf8();
    if (!load.start(peer.constData(), NetnsPair::kAddressB4, kLoadPort, shape)) {
        std::fprintf(stderr, "the connections could not be set up\n");
        return false;
    }
    QThread::msleep(1000);
    readLiveSection(shape.clients * shape.connectionsPerClient, counters, repeats * 10);
    for (int i = 0; i < shape.clients; ++i)
        load.addClient();
    QThread::msleep(1000);
    readLiveSection(2 * shape.clients * shape.connectionsPerClient, counters, repeats * 10);
    load.stop();
    return true;
}

struct Rates
{
    std::vector<double> without, with, ingressNs, egressNs;
};

void printRates(const char *what, const Rates &rates, double unit, const char *unitName)
{
    const double off = bench::summarize(rates.without).median / unit;
    const double on = bench::summarize(rates.with).median / unit;
    std::printf("%-32s without %9.2f %s, with %9.2f %s (%.3f x); programs per packet: ingress "
                "%.0f ns, egress %.0f ns\n",
                what, off, unitName, on, unitName, on / off,
                bench::summarize(rates.ingressNs).median, bench::summarize(rates.egressNs).median);
    std::printf("%-32s rounds (without / with):", "");
    for (std::size_t i = 0; i < rates.with.size(); ++i)
        std::printf(" %.2f / %.2f", rates.without[i] / unit, rates.with[i] / unit);
    std::printf("\n");
}

// The same traffic without and with the programs, alternately; then once
// more with the kernel's BPF statistics on, for the programs' time per packet
// (the statistics themselves cost time, so that run's rate is not used).
Rates compare(int rounds, const std::function<double()> &traffic)
{
    Rates rates;
    for (int round = 0; round < rounds; ++round) {
        rates.without.push_back(traffic());
        KernelSocketCounters counters;
        if (!openCounters(counters))
            return rates;
        rates.with.push_back(traffic());
        const int stats = bpf_enable_stats(BPF_STATS_RUN_TIME);
        const ProgramRuns in0 = runsOf("count_ingress"), out0 = runsOf("count_egress");
        traffic();
        const ProgramRuns in1 = runsOf("count_ingress"), out1 = runsOf("count_egress");
        if (stats >= 0)
            ::close(stats);
        rates.ingressNs.push_back(double(in1.nanoseconds - in0.nanoseconds) /
                                  double(qMax<quint64>(1, in1.runs - in0.runs)));
        rates.egressNs.push_back(double(out1.nanoseconds - out0.nanoseconds) /
                                 double(qMax<quint64>(1, out1.runs - out0.runs)));
    }
    return rates;
}

bool churnSection(const NetnsPair &pair, double seconds)
{
    KernelSocketCounters counters;
    if (!openCounters(counters))
        return false;
    const QByteArray peer = "/run/netns/" + pair.b().toUtf8();
    const long wanted = long(100'000 * seconds / 60);
    long finishedTcp = 0;
    std::size_t largestDrain = 0;
    std::vector<double> drainCpu;
    const int stats = bpf_enable_stats(BPF_STATS_RUN_TIME);
    const AllRuns before = allRuns();
    const long made = attributionbench::churn(
        peer.constData(), NetnsPair::kAddressB4, wanted, seconds, 4, 2000, [&] {
            std::vector<KernelSocketCount> finished;
            const double start = threadCpuMs();
            counters.takeFinished(finished);
            drainCpu.push_back(threadCpuMs() - start);
            largestDrain = std::max(largestDrain, finished.size());
            for (const KernelSocketCount &socket : finished)
                finishedTcp += socket.protocol == IPPROTO_TCP;
        });
    printRunsBetween("churn", before, allRuns());
    if (stats >= 0)
        ::close(stats);
    std::vector<KernelSocketCount> live;
    QString error;
    counters.readLive(live, &error);
    std::printf("churn: %ld of %ld connections in %.0f s; %ld final counts of TCP sockets, "
                "%llu lost; at most %zu a drain (every 2 s, CPU median %.3f ms); %zu live after\n",
                made, wanted, seconds, finishedTcp,
                static_cast<unsigned long long>(counters.lostFinished()), largestDrain,
                bench::summarize(drainCpu).median, live.size());
    return true;
}

// fork + exec of /bin/true per second, in a burst of `count`.
double execsPerSecond(int count)
{
    const auto micros = bench::timeMicros([count] {
        for (int i = 0; i < count; ++i) {
            const pid_t child = ::fork();
            if (child == 0) {
                ::execl("/bin/true", "true", static_cast<char *>(nullptr));
                ::_exit(127);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
        }
    });
    return count * 1e6 / double(micros);
}

bool execSection(int rounds)
{
    const int execs = 250 * rounds; // a burst: fork + exec takes about 13 ms here
    std::vector<double> without, with;
    for (int round = 0; round < rounds; ++round) {
        without.push_back(execsPerSecond(execs));
        KernelSocketCounters counters;
        if (!openCounters(counters))
            return false;
        with.push_back(execsPerSecond(execs));
        if (round + 1 == rounds) {
            const int stats = bpf_enable_stats(BPF_STATS_RUN_TIME);
            const AllRuns before = allRuns();
            execsPerSecond(execs);
            printRunsBetween("fork + exec", before, allRuns());
            if (stats >= 0)
                ::close(stats);
        }
    }
    const double off = bench::summarize(without).median, on = bench::summarize(with).median;
    std::printf("fork + exec of /bin/true: without %.0f/s, with %.0f/s (%.3f x)\n", off, on,
                on / off);
    return true;
}

int run(int rounds, double churnSeconds)
{
    NetnsPair pair;
    if (!pair.error().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(pair.error()));
        return 1;
    }
    testsupport::NetnsEntry inA(pair.a());
    if (!inA.ok() || !liveSections(pair, rounds))
        return 1;
    const QByteArray peer = "/run/netns/" + pair.b().toUtf8();
    printRates("one TCP stream",
               compare(rounds,
                       [&] {
                           return attributionbench::tcpStreamBitsPerSecond(
                               peer.constData(), NetnsPair::kAddressB4, 3);
                       }),
               1e9, "Gbit/s");
    printRates("UDP, 64-byte datagrams",
               compare(rounds,
                       [&] {
                           return attributionbench::udpDatagramsPerSecond(
                               peer.constData(), NetnsPair::kAddressB4, 64, 2);
                       }),
               1e3, "k/s");
    std::printf("%-32s (ingress: the peer's sockets, another namespace's, counted as a "
                "container's through 32 route prefixes; egress: this namespace's)\n",
                "");
    return execSection(rounds) && churnSection(pair, churnSeconds) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "vexmora-kernel-counters-bench needs root (namespaces, BPF)\n");
        return 2;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const double churnSeconds = argc > 2 ? std::max(2.0, std::atof(argv[2])) : 60;
    return run(rounds, churnSeconds);
}
