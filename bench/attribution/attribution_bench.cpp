// vexmora-attribution-bench: what one attribution sample costs with 3,000 TCP
// connections held by 300 processes, and whether a sample that meets no new
// socket reads /proc, with either source of the per-socket counts. Needs
// root: the connections run between two network namespaces it creates (and
// deletes).
//
//   vexmora-attribution-bench [SAMPLES] [INTERVAL_MS] [socket-table|bpf]
//                                             (default 20, 500, socket-table)

#include "bpf_source.h"
#include "diag_channel.h"
#include "netns_pair.h"
#include "process_attribution.h"
#include "process_memory.h"
#include "sample_stats.h"
#include "socket_inodes.h"
#include "socket_table_source.h"
#include "tcp_load.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

using namespace vexmora::meter;

namespace {

constexpr int kPort = 6000;

double threadCpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct Sampled
{
    double cpuMs = 0;
    quint64 scans = 0;
    std::size_t processes = 0;
    quint64 bytes = 0;
    quint64 unattributedBytes = 0;
};

// A source and the attribution of its sockets to processes, as the meter has them.
struct Attribution
{
    explicit Attribution(SocketCountSource &source) : source(source) {}

    SocketCountSource &source;
    ProcessAttribution processes;

    bool open(QString *error)
    {
        if (!source.open(error))
            return false;
        processes.start();
        sample();
        return true;
    }
    std::vector<ProcessTraffic> sample() { return processes.attribute(source.sample(), source); }
    AttributionHealth health() const
    {
        AttributionHealth health;
        source.addHealth(health);
        processes.addHealth(health);
        return health;
    }
};

Sampled measureSample(Attribution &attribution)
{
    Sampled result;
    const quint64 scansBefore = attribution.health().procScans;
    const double start = threadCpuMs();
    const std::vector<ProcessTraffic> traffic = attribution.sample();
    result.cpuMs = threadCpuMs() - start;
    result.scans = attribution.health().procScans - scansBefore;
    result.processes = traffic.size();
    for (const ProcessTraffic &process : traffic) {
        const quint64 bytes = process.bytes.recv + process.bytes.sent;
        result.bytes += bytes;
        if (process.pid == 0)
            result.unattributedBytes += bytes;
    }
    return result;
}

void printSample(const char *what, const Sampled &s)
{
    std::printf("%-34s %8.3f ms CPU  %2llu /proc scans  %3zu processes  %8llu bytes  "
                "%llu unattributed\n",
                what, s.cpuMs, static_cast<unsigned long long>(s.scans), s.processes,
                static_cast<unsigned long long>(s.bytes),
                static_cast<unsigned long long>(s.unattributedBytes));
}

// The kernel's share of a sample: the same dump, parsed, nothing else.
double bareDumpMedianMs(int dumps)
{
    DiagChannel channel;
    QString error;
    if (!channel.open(4 << 20, &error))
        return -1;
    std::vector<double> cpu;
    for (int i = 0; i < dumps; ++i) {
        DiagBatch batch;
        const double start = threadCpuMs();
        channel.dumpTcp(batch, &error);
        cpu.push_back(threadCpuMs() - start);
    }
    return bench::summarize(cpu).median;
}

// One connection opened by this process, older than all the clients: the
// next sample meets a new socket whose owner the scan finds last.
int connectOnce()
{
    const sockaddr_in server =
        attributionbench::endpoint(testsupport::NetnsPair::kAddressB4, kPort);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server);
    ::write(fd, "hello", 5);
    return fd;
}

int run(int samples, int intervalMs, SocketCountSource &source)
{
    testsupport::NetnsPair pair;
    if (!pair.error().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(pair.error()));
        return 1;
    }
    testsupport::NetnsEntry inA(pair.a());
    attributionbench::TcpLoad load;
    const attributionbench::TcpLoad::Shape shape;
    const QByteArray serverNetns = "/run/netns/" + pair.b().toUtf8();
    if (!inA.ok() ||
        !load.start(serverNetns.constData(), testsupport::NetnsPair::kAddressB4, kPort, shape)) {
        std::fprintf(stderr, "the connections could not be set up\n");
        return 1;
    }
    std::printf("%d processes x %d TCP connections, %d bytes each per %d ms\n\n", shape.clients,
                shape.connectionsPerClient, shape.bytesPerWrite, shape.writeIntervalMs);

    Attribution attribution(source);
    QString error;
    const double openStart = threadCpuMs();
    if (!attribution.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("open %s (dpkg lists, baseline, owner scan) %8.3f ms CPU, %d sockets tracked\n",
                qPrintable(source.name()), threadCpuMs() - openStart,
                attribution.health().trackedSockets);
    QThread::msleep(intervalMs);
    printSample("first sample", measureSample(attribution));

    std::vector<double> cpu;
    quint64 steadyScans = 0;
    Sampled last;
    for (int i = 0; i < samples; ++i) {
        QThread::msleep(intervalMs);
        last = measureSample(attribution);
        cpu.push_back(last.cpuMs);
        steadyScans += last.scans;
    }
    printSample("last steady sample", last);
    const bench::Summary steady = bench::summarize(cpu);
    std::printf("%d steady samples: CPU median %.3f ms, 90th percentile %.3f ms, max %.3f ms; "
                "/proc scans %llu\n",
                samples, steady.median, steady.p90, *std::max_element(cpu.begin(), cpu.end()),
                static_cast<unsigned long long>(steadyScans));
    std::printf("bare dump of the same sockets (kernel and parser only): CPU median %.3f ms\n\n",
                bareDumpMedianMs(samples));

    // New sockets are looked for from the newest process down.
    load.addClient();
    QThread::msleep(intervalMs);
    printSample("new process with 10 new sockets", measureSample(attribution));
    const int extra = connectOnce();
    QThread::msleep(intervalMs);
    printSample("new socket of the oldest process", measureSample(attribution));
    ::close(extra);

    const AttributionHealth health = attribution.health();
    std::printf("\ntracked sockets %d, lost notifications %llu, vanished sockets %llu, "
                "malformed messages %llu, package lists %d, resident memory %lld KiB\n",
                health.trackedSockets, static_cast<unsigned long long>(health.lostFinalCounts),
                static_cast<unsigned long long>(health.vanishedSockets),
                static_cast<unsigned long long>(health.malformedMessages), health.packageLists,
                static_cast<long long>(bench::residentKiB(::getpid()).total));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "vexmora-attribution-bench needs root (network namespaces)\n");
        return 2;
    }
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int intervalMs = argc > 2 ? std::max(10, std::atoi(argv[2])) : 500;
    SocketTableSource socketTable;
    BpfSource bpf(listSocketInodes);
    if (argc > 3 && std::strcmp(argv[3], "bpf") == 0)
        return run(samples, intervalMs, bpf);
    return run(samples, intervalMs, socketTable);
}
