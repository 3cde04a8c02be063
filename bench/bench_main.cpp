// Benchmark of vexmorad over a private bus. Without options it builds the data
// set, starts the service, measures everything and prints the result table.
//
//   vexmora-bench [--quick]            full run (--quick: a tenth of the samples)
//   vexmora-bench --prepare            only write the database, settings and snapshots
//   vexmora-bench --attach ADDRESS --loop KIND [--count N] [--days D]
//                                      call a running service N times, for profiling;
//                                      KIND is getter, snapshot, setter, report,
//                                      pending (all hours pending before each call),
//                                      recent (getRecentData(D), D 30 by default),
//                                      unknown (a method the interface lacks) or ping

#include "bench_database.h"
#include "bench_sections.h"
#include "private_bus.h"
#include "process_memory.h"
#include "service_process.h"
#include "vexmora_bus_names.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <stdexcept>

using namespace bench;

namespace {

const char kClientName[] = "vexmora-bench";

QString option(const QStringList &arguments, const QString &name, const QString &fallback = {})
{
    const int at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1] : fallback;
}

std::string loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    file.open(QIODevice::ReadOnly);
    return file.readAll().trimmed().toStdString();
}

DatasetCounts prepareState(ResultTable *table)
{
    const DatasetShape shape;
    QElapsedTimer timer;
    timer.start();
    const DatasetCounts counts = buildDatabase(shape);
    const qint64 buildMs = timer.elapsed();
    writeSettingsFile();
    const QByteArray snapshot = writeSnapshots(shape.snapshotBytes);
    if (table != nullptr) {
        table->add({"a", "database built in one transaction", format("%lld ms", buildMs),
                    format("%d app_data rows, %d hour_data rows; snapshot %d bytes", counts.appRows,
                           counts.hourRows, static_cast<int>(snapshot.size())),
                    ""});
    }
    return counts;
}

QVector<QDBusMessage> loopCalls(const QString &kind, int days)
{
    if (kind == QLatin1String("getter")) {
        return getterCalls();
    }
    if (kind == QLatin1String("snapshot")) {
        return snapshotCalls();
    }
    if (kind == QLatin1String("setter")) {
        return unchangedSetterCalls();
    }
    if (kind == QLatin1String("report") || kind == QLatin1String("pending")) {
        return {BusClient::methodCall(QStringLiteral("getReportData"))};
    }
    if (kind == QLatin1String("recent")) {
        return {BusClient::methodCall(QStringLiteral("getRecentData"), {days})};
    }
    if (kind == QLatin1String("unknown")) {
        return {BusClient::methodCall(QStringLiteral("noSuchMethod"))};
    }
    if (kind == QLatin1String("ping")) {
        return {BusClient::pingCall()};
    }
    throw std::runtime_error("unknown loop kind " + kind.toStdString());
}

void runLoop(const QString &address, const QString &kind, int count, int days)
{
    BusClient client(QDBusConnection::connectToBus(address, QString::fromLatin1(kClientName)));
    // A service under a profiler takes its time to come up.
    if (!testsupport::waitForName(client.connection(),
                                  QString::fromLatin1(vexmora::bus::kServiceName), 120000)) {
        throw std::runtime_error("no service on " + address.toStdString());
    }
    const QVector<QDBusMessage> calls = loopCalls(kind, days);
    const bool pending = kind == QLatin1String("pending");
    const bool refused = kind == QLatin1String("unknown");
    const QString unknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
    for (int i = 0; i < count; ++i) {
        if (pending) {
            markAllHoursPending();
        }
        if (refused) {
            client.sendRefused(calls[i % calls.size()], unknownMethod);
        } else {
            client.send(calls[i % calls.size()]);
        }
    }
}

void runFull(int sampleDivisor)
{
    std::printf("load average at start: %s\n", loadAverage().c_str());
    ResultTable table;
    const DatasetCounts counts = prepareState(&table);

    testsupport::PrivateBus bus;
    if (!bus.start()) {
        throw std::runtime_error("cannot start dbus-daemon");
    }
    BusClient client(
        QDBusConnection::connectToBus(bus.address(), QString::fromLatin1(kClientName)));
    const QString serviceLog = QDir::temp().filePath(QStringLiteral("vexmora-bench-service.log"));
    testsupport::ServiceProcess service;
    service.setLogFile(serviceLog);
    if (!service.start(bus.address(), client.connection())) {
        throw std::runtime_error("vexmorad did not claim its name; see " +
                                 serviceLog.toStdString());
    }
    QThread::msleep(300);
    const Resident residentAtStart = residentKiB(service.pid());

    BenchContext context{client, bus.address(), service.pid(), table, sampleDivisor};
    try {
        measureReports(context);
        measureSmallCalls(context);
        measureConcurrency(context);
        measureMemory(context, residentAtStart);
        // Last: its large replies leave the heap larger than the other calls do.
        measurePendingHours(context, counts.hourRows);
    } catch (const std::exception &error) {
        throw std::runtime_error(std::string(error.what()) + " (dbus-daemon " +
                                 bus.state().toStdString() + ", vexmorad " +
                                 service.state().toStdString() + ")");
    }
    table.print();
    std::printf("\n%d target(s) missed; load average at end: %s\n", table.missCount(),
                loadAverage().c_str());
    QDBusConnection::disconnectFromBus(QString::fromLatin1(kClientName));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    try {
        if (arguments.contains(QStringLiteral("--prepare"))) {
            prepareState(nullptr);
        } else if (arguments.contains(QStringLiteral("--attach"))) {
            runLoop(option(arguments, QStringLiteral("--attach")),
                    option(arguments, QStringLiteral("--loop"), QStringLiteral("getter")),
                    option(arguments, QStringLiteral("--count"), QStringLiteral("1000")).toInt(),
                    option(arguments, QStringLiteral("--days"), QStringLiteral("30")).toInt());
        } else {
            runFull(arguments.contains(QStringLiteral("--quick")) ? 10 : 1);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vexmora-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
