#include "meter.h"

#include "alarm_sink.h"
#include "traffic_store.h"
#include "vexmora_paths.h"

#include <QDebug>
#include <QDir>

namespace vexmora::meter {
namespace {

constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kDayMs = 24 * 60 * kMinuteMs;
// How long the current hour's row may wait while nothing moves.
constexpr qint64 kIdleRowsMs = 5 * kMinuteMs;
// The wall clock moved by itself (set by hand, stepped by NTP) when it ran
// this much apart from the elapsed clock between two samples.
constexpr qint64 kWallJumpMs = 5 * 1000;
// The busiest applications the textfile names.
constexpr int kTextfileApps = 20;

AttributionSources meterAttributionSources()
{
    AttributionSources sources;
    sources.packageFilterFile = QString::fromUtf8(paths::kPackageFilterFile);
    return sources;
}

} // namespace

Meter::Meter(const MeterOptions &options, const MeterClock &clock, InterfaceReader reader,
             AlarmSink &alarms, std::vector<SocketCountSource *> attribution, QObject *parent)
    : QObject(parent), options_(options), clock_(clock), alarmSink_(alarms),
      host_(std::move(reader), options.interfaces),
      apps_(std::move(attribution), meterAttributionSources()), schedule_(options.intervalMs)
{
    apps_.limitApps(options_.maxAppsPerDay);
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &Meter::tick);
    connect(&apps_, &AppCounting::woken, this, &Meter::wakeUp);
    connect(&settingsNotifier_, &SettingsNotifier::changed, this, &Meter::settingsChanged);
    connect(&routes_, &HostRoutes::changed, this, &Meter::followHostRoutes);
}

void Meter::start()
{
    // The tables too, so that the purge finds what it purges and the
    // service's reports find tables before the first row arrives. A store
    // that cannot be opened now is tried again at each write.
    QDir().mkpath(QString::fromUtf8(paths::kStateDir));
    (void)store_.open();
    settingsNotifier_.watch(QByteArray(paths::kSettingsFile));
    QString error;
    if (!routes_.watch(&error))
        qWarning().noquote() << "Route changes are not followed:" << error;
    const qint64 now = clock_.elapsedMs();
    lastTextfileMs_ = now;
    lastPurgeMs_ = now - kDayMs;
    resumeStored_ = true;
    tick();
    resumeStored_ = false;
    if (!settings_.counting) {
        apps_.stop(); // the snapshots say that nothing is counted
        // Nor will a later start credit what moves while counting is off.
        saveRows({});
    }
}

void Meter::tick()
{
    const qint64 now = clock_.elapsedMs();
    MeterSettings settings;
    if (settingsWatch_.poll(settings)) {
        applySettings(settings);
    }
    if (settings_.counting) {
        sample(now);
    } else {
        schedule_.reset(); // the switch is noticed within an interval
    }
    // Also while counting is off: the window empties as time passes.
    announceAlarms(now);
    runPeriodicWork(now);
    apps_.setAsleep(settings_.counting && schedule_.asleep());
    timer_.start(int(schedule_.delayMs()));
    Q_EMIT sampled();
}

void Meter::wakeUp()
{
    woken_ = true;
    tick();
    woken_ = false;
}

void Meter::settingsChanged()
{
    if (schedule_.asleep())
        tick();
}

void Meter::shutdown()
{
    timer_.stop();
    // A last sample, so that the traffic up to the stop is counted too.
    if (settings_.counting) {
        sample(clock_.elapsedMs());
        apps_.stop();
    }
    ledger_.close();
    saveRows(settings_.counting ? host_.baselines() : std::vector<store::InterfaceBaseline>());
    if (!options_.textfileDir.isEmpty()) {
        writePrometheusTextfile(options_.textfileDir, status());
    }
}

MeterStatus Meter::status() const
{
    MeterStatus status;
    status.hostBytes = hostBytes_;
    status.counting = settings_.counting;
    status.appsToday = apps_.busiestToday(kTextfileApps);
    const AttributionHealth attribution = apps_.health();
    status.lostCloseReports = attribution.lostFinalCounts;
    status.uncountedPackets = attribution.uncountedPackets;
    status.staleEntries = attribution.staleEntries;
    status.attributionSource = apps_.sourceName();
    for (AlarmKind kind : kAlarmKinds) {
        status.alarmRaised[size_t(kind)] = alarms_.isRaised(kind);
    }
    return status;
}

CurrentHour Meter::currentHour()
{
    CurrentHour current;
    QByteArray hour;
    if (settings_.counting && ledger_.current(store_, hour, current.row)) {
        current.time = QString::fromLatin1(hour);
        current.uncountedPackets = apps_.health().uncountedPackets;
    }
    return current;
}

QString Meter::currentHourJson()
{
    return meter::currentHourJson(currentHour());
}

void Meter::applySettings(const MeterSettings &settings)
{
    alarms_.configure(settings.alarms);
    if (settings.counting && !settings_.counting) {
        startCounting();
    } else if (!settings.counting && settings_.counting) {
        stopCounting();
    }
    settings_ = settings;
}

void Meter::sample(qint64 elapsedMs)
{
    const qint64 sinceMs = elapsedMs - lastSampleMs_;
    lastSampleMs_ = elapsedMs;
    const qint64 wallMs = clock_.wallMs();
    const qint64 wallMovedMs = wallMs - lastWallMs_;
    lastWallMs_ = wallMs;
    const LocalMinute minute = localMinuteAt(wallMs);
    if (qAbs(wallMovedMs - sinceMs) > kWallJumpMs) {
        // The bytes go to the hour the clock shows now; the minutes it skipped
        // are not covered.
        qInfo("The wall clock moved by %lld s.", (wallMovedMs - sinceMs) / 1000);
        ledger_.interrupt();
    }
    bool moved = false;
    if (schedule_.isGap(sinceMs)) {
        qInfo("No sample for %lld s (a suspend or a stall): what moved meanwhile goes to this "
              "hour, in no minute.",
              sinceMs / 1000);
        ledger_.interrupt();
        const ByteCounts hostMoved = host_.sample(elapsedMs);
        hostBytes_ += hostMoved;
        moved = creditUnplaced(hostMoved, wallMs);
        ledger_.account(minute, ByteCounts());
    } else {
        const ByteCounts hostMoved = host_.sample(elapsedMs);
        hostBytes_ += hostMoved;
        ledger_.account(minute, hostMoved);
        moved = apps_.account(hostMoved, wallMs);
        alarms_.add(elapsedMs, hostMoved);
    }
    schedule_.afterSample(moved || !apps_.maySleep(), wallMs);
    apps_.sampled(moved, woken_, elapsedMs);
    // The increments keep their own day whenever they are written; the last
    // sample of a UTC day writes them all the same, so that the reports of
    // the days before today have that day whole from midnight on.
    const bool lastOfTheDay = utcDayOf(wallMs + schedule_.delayMs()) != utcDayOf(wallMs);
    movedSinceSave_ = movedSinceSave_ || moved;
    if ((ledger_.isDue() && !idleRowsCanWait(elapsedMs)) || baselineUnsaved_ || lastOfTheDay) {
        saveRows(host_.baselines());
    }
}

// While nothing moves only the covered minutes change: the current hour is
// written every few minutes, not at each (a write syncs the disk four times).
bool Meter::idleRowsCanWait(qint64 elapsedMs) const
{
    return !movedSinceSave_ && !ledger_.hasFinishedHours() && elapsedMs - lastSaveMs_ < kIdleRowsMs;
}

void Meter::announceAlarms(qint64 elapsedMs)
{
    const AlarmChanges changes = alarms_.evaluate(elapsedMs);
    for (AlarmKind kind : changes.cleared) {
        alarmSink_.clear(kind);
    }
    for (const AlarmEvent &event : changes.raised) {
        alarmSink_.raise(event, settings_.alarms.periodMinutes);
    }
}

bool Meter::creditUnplaced(const ByteCounts &bytes, qint64 wallMs)
{
    ledger_.creditUnplaced(localMinuteAt(wallMs), bytes);
    // The applications' sockets that lived across it go to their owners.
    return apps_.account(bytes, wallMs);
}

// The hour rows, the applications' increments and the counters they were
// counted up to, in one transaction: a stop at any moment leaves a start
// that credits the same bytes to both kinds of rows.
void Meter::saveRows(const std::vector<store::InterfaceBaseline> &baselines)
{
    baselineUnsaved_ = false;
    movedSinceSave_ = false;
    lastSaveMs_ = clock_.elapsedMs();
    std::vector<store::HourWrite> hours;
    const store::AppWrite apps = apps_.unwritten();
    // Refused, everything stays due for the next write; the application
    // increments carry their own day, so a late write keeps them in it.
    if (ledger_.rowsToSave(store_, hours) &&
        store_.save(hours, apps, baselines) == store::StoreResult::Done) {
        ledger_.rowsSaved(hours);
        apps_.written(apps);
    }
}

void Meter::runPeriodicWork(qint64 elapsedMs)
{
    if (settings_.counting) {
        apps_.runPeriodicWork(elapsedMs);
    }
    if (!options_.textfileDir.isEmpty() && elapsedMs - lastTextfileMs_ >= kMinuteMs) {
        lastTextfileMs_ = elapsedMs;
        writePrometheusTextfile(options_.textfileDir, status());
    }
    if (elapsedMs - lastPurgeMs_ >= kDayMs) {
        lastPurgeMs_ = elapsedMs;
        store::purgeOldRows("app_data", options_.keepDays);
        store::purgeOldRows("hour_data", options_.keepDays);
    }
}

} // namespace vexmora::meter
