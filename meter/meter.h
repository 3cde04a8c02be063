// The meter's wiring: the rooms host/, apps/, alarms/, outputs/ and attribution/ driven
// by one sample loop, with its options, clock and settings; it may use them all.
#pragma once

#include "alarm_monitor.h"
#include "app_counting.h"
#include "current_hour.h"
#include "host_counter.h"
#include "host_routes.h"
#include "hour_ledger.h"
#include "meter_clock.h"
#include "meter_options.h"
#include "meter_store.h"
#include "prometheus_textfile.h"
#include "sample_schedule.h"
#include "settings_notifier.h"
#include "settings_watch.h"

#include <QObject>
#include <QTimer>

namespace vexmora::meter {

class AlarmSink;
class SocketCountSource;

// The measuring loop: every interval it checks the settings, samples the
// host's counters and the sockets, books the bytes into the hour rows and the
// applications' rows and feeds the alarms; every few seconds it writes the
// snapshots, once a minute the textfile, once a day it purges old rows. While
// nothing moves it samples less often (SampleSchedule), and a source that
// sees the first traffic wakes it.
class Meter : public QObject
{
    Q_OBJECT

public:
    // The attribution sources in the order they are tried; with none, every
    // byte counts as unattributed.
    Meter(const MeterOptions &options, const MeterClock &clock, InterfaceReader reader,
          AlarmSink &alarms, std::vector<SocketCountSource *> attribution,
          QObject *parent = nullptr);

    // Reads the settings, purges, takes the baseline (crediting what moved
    // since the counters the previous run stored, when they still apply) and
    // starts the timer.
    void start();
    // One sample; the timer calls it, tests call it after moving their clock.
    void tick();
    // The delay until the next sample, as the last tick planned it.
    qint64 nextSampleDelayMs() const { return schedule_.delayMs(); }
    // Writes the current hour and everything pending.
    void shutdown();

    MeterStatus status() const;
    // The hour being counted: its row so far; no time while counting is off.
    CurrentHour currentHour();
    // The same as JSON text; "{}" when none.
    QString currentHourJson();
    bool counting() const { return settings_.counting; }

Q_SIGNALS:
    // After every sample and every look at the settings, when what the meter
    // shows of itself may have changed.
    void sampled();

private:
    void applySettings(const MeterSettings &settings);
    void startCounting();
    ByteCounts resumeStoredCounting(qint64 elapsedMs);
    bool resumeCarry(const store::AppCarry &carry);
    void stopCounting();
    // Gives the source the host's routes as they are now.
    void followHostRoutes();
    void sample(qint64 elapsedMs);
    // The source saw traffic while the meter slept: a sample at once.
    void wakeUp();
    // The settings file changed: while asleep, a sample at once notices it.
    void settingsChanged();
    void announceAlarms(qint64 elapsedMs);
    // Bytes that moved while nothing was sampled, to the hour of `wallMs`;
    // whether anything moved.
    bool creditUnplaced(const ByteCounts &bytes, qint64 wallMs);
    void saveRows(const std::vector<store::InterfaceBaseline> &baselines);
    bool idleRowsCanWait(qint64 elapsedMs) const;
    void runPeriodicWork(qint64 elapsedMs);

    const MeterOptions options_;
    const MeterClock &clock_;
    AlarmSink &alarmSink_;
    store::MeterStore store_;
    HostCounter host_;
    HourLedger ledger_;
    AppCounting apps_;
    AlarmMonitor alarms_;
    SettingsWatch settingsWatch_;
    SettingsNotifier settingsNotifier_;
    MeterSettings settings_;
    ByteCounts hostBytes_;
    qint64 lastSampleMs_ = 0;
    qint64 lastWallMs_ = 0;
    qint64 lastTextfileMs_ = 0;
    qint64 lastPurgeMs_ = 0;
    // Only the start of the process resumes from the stored counters;
    // switching counting on starts afresh.
    bool resumeStored_ = false;
    bool baselineUnsaved_ = false;
    bool woken_ = false;
    bool movedSinceSave_ = false;
    qint64 lastSaveMs_ = 0;
    HostRoutes routes_;
    bool routesUnread_ = false; // warned that the routes could not be read
    SampleSchedule schedule_;
    QTimer timer_;
};

} // namespace vexmora::meter
