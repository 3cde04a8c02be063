// Benchmark of vexmora-meter: the CPU of one sample of the host's counters,
// a simulated day of samples (memory must not grow), the write of an hour row
// with the counters it was counted up to, a start that resumes from them, and
// the idle memory of the real meter next to the real vexmorad.
//
//   vexmora-meter-bench [--smoke]
//
// --smoke only shows that the benchmark builds and runs (the suite runs it so):
// a hundredth of the simulated days, a few writes and starts, a second of
// idle, and an exit status that no missed target sets.
#include "alarm_sink.h"
#include "meter.h"
#include "meter_store.h"
#include "private_bus.h"
#include "process_memory.h"
#include "result_table.h"
#include "sample_stats.h"
#include "service_process.h"
#include "vexmora_bus_names.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <ctime>

using namespace bench;
using namespace vexmora::meter;

namespace {

constexpr qint64 kIntervalMs = 2000;
constexpr int kSamplesPerDay = 24 * 3600 * 1000 / int(kIntervalMs);

struct Scale
{
    int samplesPerDay = kSamplesPerDay;
    int writes = 200;
    int starts = 30;
    int idleSeconds = 10;
};

constexpr Scale kSmokeScale{kSamplesPerDay / 100, 5, 5, 1};

class SimulatedClock : public MeterClock
{
public:
    qint64 wallMs() const override { return wall; }
    qint64 elapsedMs() const override { return elapsed; }
    qint64 wall = qint64(time(nullptr)) * 1000;
    qint64 elapsed = 0;
};

class NoAlarms : public AlarmSink
{
public:
    void raise(const AlarmEvent &, qint64) override {}
    void clear(AlarmKind) override {}
};

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A fresh state directory with counting switched on.
void writeCountingOn()
{
    QDir state(QStringLiteral(VEXMORA_BENCH_STATE_DIR));
    state.removeRecursively();
    state.mkpath(QStringLiteral("."));
    QFile settings(QStringLiteral(VEXMORA_BENCH_STATE_DIR "/setting.conf"));
    settings.open(QIODevice::WriteOnly | QIODevice::Truncate);
    settings.write("[Ostvane]\nNETFLOW_COUNT_STATUS=1\n");
}

// Days of samples of this host's real counters, the clock moved by the
// interval each time: the rows of 24 hours are written as they would be.
void measureSimulatedDay(ResultTable &table, const Scale &scale)
{
    SimulatedClock clock;
    NoAlarms alarms;
    MeterOptions options;
    options.intervalMs = kIntervalMs;
    Meter meter(options, clock, InterfaceReader(), alarms, {});
    meter.start();
    const auto sampleFor = [&](int count) {
        const double start = cpuSeconds();
        for (int i = 0; i < count; ++i) {
            clock.wall += kIntervalMs;
            clock.elapsed += kIntervalMs;
            meter.tick();
        }
        return (cpuSeconds() - start) / count * 1e6;
    };
    // A day warms the heap up to its working size (SQLite's and Qt's caches,
    // the allocator's arenas); after it, four more days must not grow it.
    sampleFor(scale.samplesPerDay);
    const Resident warm = residentKiB(QCoreApplication::applicationPid());
    constexpr int kDays = 4;
    const double perSample = sampleFor(kDays * scale.samplesPerDay);
    const Resident later = residentKiB(QCoreApplication::applicationPid());
    meter.shutdown();
    table.addCheck({"m", "CPU per sample (host counters, rows written each minute)",
                    format("%.1f µs", perSample),
                    format("mean of %d samples", kDays * scale.samplesPerDay), "well under 1 ms",
                    Verdict::Info},
                   perSample < 250);
    const qint64 growth = later.anonymous - warm.anonymous;
    table.addCheck({"m", "anonymous memory growth per simulated day, days 2 to 5",
                    format("%lld KiB", growth / kDays),
                    format("%lld KiB after the first day, %lld KiB after the fifth", warm.anonymous,
                           later.anonymous),
                    "none (≤ 32 KiB a day: a leak of 1 byte per sample passes it)", Verdict::Info},
                   warm.anonymous >= 0 && later.anonymous >= 0 && growth / kDays <= 32);
}

// What the meter's write costs once a minute: the hour row alone, as the
// service's own writer makes it, against the row, its minutes, four
// interfaces' counters and twenty applications' increments in one
// transaction on the meter's connection, and against the same transaction on
// a connection opened for it (tables checked, statements prepared). The three
// alternate, so that all meet the same load.
void measureBaselineWrite(ResultTable &table, const Scale &scale)
{
    constexpr int kApps = 20;
    const vexmora::store::HourRecord row{30, 123456789, 98765432, 100, 50, 140};
    std::vector<vexmora::store::InterfaceBaseline> baselines;
    for (const char *name : {"eth0", "eth1", "wlan0", "enp3s0"}) {
        baselines.push_back(
            {name, 2, "5f0c2a7e-8d1b-4c3e-9a6f-2b7d1e0c4a93", 1LL << 40, 1LL << 38, 123456789});
    }
    vexmora::store::AppWrite apps;
    for (int i = 0; i < kApps; ++i) {
        apps.increments.push_back({"application-" + std::to_string(i), 123456, 7890, 20513});
    }
    std::vector<double> alone;
    std::vector<double> together;
    std::vector<double> apart;
    vexmora::store::MeterStore store;
    if (store.open() != vexmora::store::StoreResult::Done) {
        fprintf(stderr, "The database cannot be opened.\n");
    }
    for (int i = 0; i < scale.writes; ++i) {
        alone.push_back(timeMicros([&] {
            vexmora::store::saveHourData("2026-03-01 10:00", {i % 60, i, i, 0, 0, 0});
        }));
        together.push_back(timeMicros([&] {
            (void)store.save({{"2026-03-01 10:00", row, i}}, apps, baselines);
        }));
        apart.push_back(timeMicros([&] {
            vexmora::store::saveHoursAppsAndBaselines({{"2026-03-01 10:00", row, i}}, apps,
                                                      baselines);
        }));
    }
    const Summary rowAlone = summarize(alone);
    const Summary oneTransaction = summarize(together);
    const Summary asBefore = summarize(apart);
    table.addCheck(
        {"m",
         "hour row + minutes + 4 interfaces' counters + 20 applications, one "
         "transaction",
         format("%.2f ms (%.2f)", oneTransaction.median / 1000, oneTransaction.p90 / 1000),
         format("the hour row alone: %.2f ms (%.2f); the same transaction on a connection "
                "of its own: %.2f ms (%.2f); %d writes each, alternating",
                rowAlone.median / 1000, rowAlone.p90 / 1000, asBefore.median / 1000,
                asBefore.p90 / 1000, scale.writes),
         "median at most 1.5 × the row alone's (one commit each)", Verdict::Info},
        oneTransaction.median <= 1.5 * rowAlone.median);
}

// A start that finds counters stored by the previous run: reading them, the
// decision, the first sample and the write of the fresh baseline.
void measureResumingStart(ResultTable &table, const Scale &scale)
{
    SimulatedClock clock;
    NoAlarms alarms;
    MeterOptions options;
    options.intervalMs = kIntervalMs;
    const auto advance = [&clock] {
        clock.wall += kIntervalMs;
        clock.elapsed += kIntervalMs;
    };
    // Each start says what it resumed from; not the measure's business.
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    {
        Meter first(options, clock, InterfaceReader(), alarms, {});
        first.start();
        advance();
        first.shutdown();
    }
    const Summary start = measure(scale.starts, [&] {
        Meter meter(options, clock, InterfaceReader(), alarms, {});
        meter.start();
        advance();
    });
    qInstallMessageHandler(previous);
    table.addCheck({"m", "start resuming from the stored counters (without the attribution)",
                    format("%.1f ms (%.1f)", start.median / 1000, start.p90 / 1000),
                    format("%d starts", scale.starts), "under 100 ms", Verdict::Info},
                   start.median < 100'000);
}

void addIdleRow(ResultTable &table, const char *what, const Resident &resident)
{
    table.add(
        {"m", what, format("%lld KiB", resident.total),
         format("anonymous %lld KiB, Pss %lld KiB", resident.anonymous, resident.proportional), "",
         Verdict::Info});
}

// The real meter and the real service, each idle on a private bus.
void measureIdleMemory(ResultTable &table, const Scale &scale)
{
    testsupport::PrivateBus bus;
    if (!bus.start()) {
        throw std::runtime_error("cannot start dbus-daemon");
    }
    QDBusConnection watcher = bus.connect(QStringLiteral("watcher"));
    testsupport::ServiceProcess service;
    testsupport::ServiceProcess meter(QStringLiteral(VEXMORA_METER_PATH), {},
                                      QString::fromLatin1(vexmora::bus::kMeterServiceName));
    service.setLogFile(QDir::temp().filePath(QStringLiteral("vexmora-meter-bench-service.log")));
    meter.setLogFile(QDir::temp().filePath(QStringLiteral("vexmora-meter-bench-meter.log")));
    if (!service.start(bus.address(), watcher) || !meter.start(bus.address(), watcher)) {
        throw std::runtime_error("the service or the meter did not come up");
    }
    QThread::sleep(scale.idleSeconds);
    const Resident meterIdle = residentKiB(meter.pid());
    const Resident serviceIdle = residentKiB(service.pid());
    const std::string meterRow =
        format("vexmora-meter RSS at idle, counting, after %d s", scale.idleSeconds);
    addIdleRow(table, meterRow.c_str(), meterIdle);
    addIdleRow(table, "vexmorad RSS at idle, for comparison", serviceIdle);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool smoke = app.arguments().contains(QStringLiteral("--smoke"));
    const Scale scale = smoke ? kSmokeScale : Scale();
    try {
        writeCountingOn();
        ResultTable table;
        measureSimulatedDay(table, scale);
        measureBaselineWrite(table, scale);
        measureResumingStart(table, scale);
        measureIdleMemory(table, scale);
        table.print();
        return smoke || table.missCount() == 0 ? 0 : 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vexmora-meter-bench: %s\n", error.what());
        return 1;
    }
}
