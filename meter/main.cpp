// vexmora-meter: measures the host's traffic into the vexmora state directory.
#include "alarm_sink.h"
#include "bpf_source.h"
#include "meter.h"
#include "meter_bus.h"
#include "meter_store.h"
#include "socket_inodes.h"
#include "socket_table_source.h"
#include "state_lock.h"
#include "stop_signals.h"
#include "vexmora_paths.h"

#include <QCoreApplication>
#include <cstdio>
#include <malloc.h>

using namespace vexmora::meter;

namespace {

// The meter runs for months and mostly waits: the memory it frees goes back
// to the system. One arena for both threads (the bus's allocates little), and
// fixed thresholds: otherwise glibc raises them after the large blocks of the
// kernel's type information are freed at the start, and keeps what later
// frees leave at the top of the heap.
void keepTheHeapSmall()
{
    constexpr int kReturnedBytes = 64 * 1024;
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, kReturnedBytes);
    mallopt(M_TRIM_THRESHOLD, kReturnedBytes);
    vexmora::store::MeterStore::preferLittleMemory();
}

} // namespace

int main(int argc, char *argv[])
{
    keepTheHeapSmall();
    blockStopSignals();
    QCoreApplication app(argc, argv);
    const ParsedMeterOptions parsed = parseMeterOptions(app.arguments().mid(1));
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "vexmora-meter: %s\n\n%s", qPrintable(parsed.error),
                     qPrintable(meterUsage()));
        return 2;
    }
    if (parsed.help) {
        std::fputs(qPrintable(meterUsage()), stdout);
        return 0;
    }
    // Before anything in the state directory is read or written.
    StateLock stateLock;
    const QString lockRefusal =
        stateLock.acquire(QString::fromUtf8(vexmora::paths::kMeterLockFile));
    if (!lockRefusal.isEmpty()) {
        std::fprintf(stderr, "vexmora-meter: %s\n", qPrintable(lockRefusal));
        return 1;
    }

    const SystemClock clock;
    MeterBus bus;
    AlarmAnnouncer announcer(bus);
    BpfSource bpf(listSocketInodes);
    SocketTableSource socketTable;
    std::vector<SocketCountSource *> sources;
    for (const QString &name : parsed.options.attributionSources) {
        for (SocketCountSource *source : {static_cast<SocketCountSource *>(&bpf),
                                          static_cast<SocketCountSource *>(&socketTable)}) {
            if (source->name() == name)
                sources.push_back(source);
        }
    }
    Meter meter(parsed.options, clock, InterfaceReader(), announcer, sources);
    bus.follow(meter);
    const StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &app, [&meter](int) {
        meter.shutdown();
        QCoreApplication::quit();
    });
    meter.start();
    bus.start();
    return app.exec();
}
