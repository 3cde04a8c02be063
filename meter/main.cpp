// vexmora-meter: measures the host's traffic into the vexmora state directory.
#include "alarm_sink.h"
#include "bpf_source.h"
#include "meter.h"
#include "meter_bus.h"
#include "socket_inodes.h"
#include "socket_table_source.h"
#include "state_lock.h"
#include "stop_signals.h"
#include "vexmora_paths.h"

#include <QCoreApplication>
#include <cstdio>

using namespace vexmora::meter;

int main(int argc, char *argv[])
{
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
    bus.setCurrentHourSource([&meter] { return meter.currentHourJson(); });
    const StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &app, [&meter](int) {
        meter.shutdown();
        QCoreApplication::quit();
    });
    meter.start();
    bus.start();
    return app.exec();
}
