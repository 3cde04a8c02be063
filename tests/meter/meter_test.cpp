// The host's rows, its interfaces' counters, switching on and off and the
// alarms, against a fake /proc and /sys.
#include "meter_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>

using namespace metertest;
using vexmora::store::HourRecord;

namespace {

constexpr quint64 kKiBMinute = 1024 * 60; // one KiB/s over a minute
constexpr quint64 kMiB = 1024 * 1024;

void expectRow(const HourRecord &row, int mins, qint64 recv, qint64 sent)
{
    EXPECT_EQ(row.mins, mins);
    EXPECT_EQ(row.recv, recv);
    EXPECT_EQ(row.sent, sent);
}

TEST_F(MeterTest, EachHourGetsItsBytesCoveredMinutesAndOneMinutePeaks)
{
    startMeter(); // 10:58:00, the baseline
    move("eth0", 10 * kKiBMinute, 5 * kKiBMinute);
    step(30000);
    step(20000); // 10:58:50
    move("eth0", 20 * kKiBMinute, 0);
    step(20000); // 10:59:10
    step(30000);
    move("eth0", 4 * kKiBMinute, 4 * kKiBMinute);
    step(30000); // 11:00:10: 10:00 is finished and written
    const HourRecord ten = row("2026-03-01 10:00");
    expectRow(ten, 2, 30 * kKiBMinute, 5 * kKiBMinute);
    EXPECT_EQ(ten.recv_peak, 20);
    EXPECT_EQ(ten.sent_peak, 5);
    EXPECT_EQ(ten.total_peak, 20); // the busiest minute, not a sum of two minutes' peaks

    move("eth0", 100 * kKiBMinute, 0);
    step(30000);
    meter_->shutdown();
    const HourRecord eleven = row("2026-03-01 11:00");
    expectRow(eleven, 1, 104 * kKiBMinute, 4 * kKiBMinute);
    EXPECT_EQ(eleven.recv_peak, 104); // KiB/s of 1024 bytes
}

TEST_F(MeterTest, ResetsAndInterfacesThatComeAndGoAreCountedOnce)
{
    wallMs_ = utcMs("2026-03-01T10:50:00Z");
    setInterface("veth0", FakeInterface{0, 0, 9, false});
    startMeter();
    const struct
    {
        const char *what;
        const char *name;
        FakeInterface now;
        qint64 credited;
    } steps[] = {
        {"plain increase", "eth0", {1500, 2000, 2}, 500},
        {"counter reset", "eth0", {300, 2000, 2}, 300},
        {"created anew, higher", "eth0", {400, 0, 5}, 400},
        {"a rise no link carries", "eth0", {~quint64(0) - 10, 0, 5}, 0},
        {"down from near 2^64", "eth0", {7, 0, 5}, 7},
        {"its index unreadable for a moment", "eth0", {20, 0, -1}, 13},
        {"and readable again", "eth0", {30, 0, 5}, 10},
        {"a physical interface appears", "eth1", {50, 0, 6}, 50},
        {"and goes", "eth1", {0, 0, 0, false}, 0},
        {"and comes back under its old index", "eth1", {70, 0, 6}, 70},
        {"veth is not counted", "veth0", {999, 999, 9, false}, 0},
    };
    qint64 expected = 0;
    for (const auto &s : steps) {
        setInterface(s.name, s.now);
        step(10000);
        expected += s.credited;
        meter_->shutdown();
        EXPECT_EQ(row("2026-03-01 10:00").recv, expected) << s.what;
    }
    // Unreadable counters credit nothing, and nothing twice once they come back.
    QFile::remove(root_.path() + QStringLiteral("/proc/net/dev"));
    step(10000);
    move("eth0", 3, 0);
    meter_->shutdown(); // the stop's own sample, still within 10:00
    EXPECT_EQ(row("2026-03-01 10:00").recv, expected + 3);
}

TEST_F(MeterTest, GapsAreCreditedWhereSamplingResumesInNoMinuteAndClockJumpsOverwriteNothing)
{
    wallMs_ = utcMs("2026-03-01T10:30:00Z");
    startMeter();
    move("eth0", 1000, 100);
    step(10000);
    // A stall of five minutes: its bytes count, but cover no minute and make no peak.
    move("eth0", 60 * kMiB, 0);
    step(300000); // 10:35:10
    move("eth0", 10, 0);
    step(10000);
    // A suspend across the hour's end: to the hour in which sampling resumed.
    move("eth0", 5000, 50);
    step(3600 * 1000); // 11:35:20
    // A reset during a gap credits the new value; a rise no link carries, nothing.
    setInterface("eth0", FakeInterface{7, 0, 2});
    step(60000);
    move("eth0", 1ULL << 62, 0);
    step(60000); // 11:37:20
    meter_->shutdown();
    const HourRecord ten = row("2026-03-01 10:00");
    expectRow(ten, 2, 1000 + 60 * kMiB + 10, 100);
    EXPECT_EQ(ten.recv_peak, 0);
    EXPECT_EQ(ten.total_peak, 0);
    expectRow(row("2026-03-01 11:00"), 3, 5000 + 7, 50);
    // The applications' rows take the same bytes, as unattributed.
    EXPECT_EQ(sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM app_data"),
              sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM hour_data"));

    // The wall clock jumps back into 10:00, whose row continues.
    startMeter();
    wallMs_ = utcMs("2026-03-01T10:50:00Z");
    move("eth0", 5, 0);
    step(10000);
    meter_->shutdown();
    expectRow(row("2026-03-01 10:00"), 3, 1000 + 60 * kMiB + 15, 100);
}

// While nothing moves the samples come further apart, up to half a minute,
// and one at each minute's edge: the traffic they find still has its minute
// and its peak, and a sample late by less than three intervals beyond the
// sleep is no gap.
TEST_F(MeterTest, WhileNothingMovesTheMeterSleepsUpToAMinutesEdgeAndTrafficWakesIt)
{
    startMeter(); // 10:58:00; a 10 s interval
    const struct
    {
        quint64 recv;  // moved before the sample
        qint64 lateMs; // beyond the planned delay
        qint64 nextMs; // the delay planned after it
    } samples[] = {
        {0, 0, 30000},                  // 10:58:20 (the start slept 20 s)
        {0, 0, 10050},                  // 10:58:50: up to the next minute's edge
        {0, 0, 30000},                  // 10:59:00.05
        {kKiBMinute, 5000, 10000},      // 10:59:35.05: traffic, the interval again
        {0, 0, 15000},                  // 10:59:45.05
        {0, 0, 30000},                  // 11:00:00.05: the row of 10:00 is written
        {2 * kKiBMinute, 25000, 10000}, // 11:00:55.05: a gap
    };
    EXPECT_EQ(meter_->nextSampleDelayMs(), 20000);
    for (const auto &sample : samples) {
        move("eth0", sample.recv, 0);
        step(meter_->nextSampleDelayMs() + sample.lateMs);
        EXPECT_EQ(meter_->nextSampleDelayMs(), sample.nextMs) << wallMs_;
    }
    const HourRecord ten = row("2026-03-01 10:00");
    expectRow(ten, 2, kKiBMinute, 0);
    EXPECT_EQ(ten.recv_peak, 1);
    meter_->shutdown();
    const HourRecord eleven = row("2026-03-01 11:00");
    expectRow(eleven, 1, 2 * kKiBMinute, 0);
    EXPECT_EQ(eleven.recv_peak, 0);
}

TEST_F(MeterTest, WhileNothingMovesTheCurrentHourIsWrittenEveryFiveMinutes)
{
    wallMs_ = utcMs("2026-03-01T10:30:00Z");
    startMeter();
    move("eth0", 1000, 0);
    while (wallMs_ < utcMs("2026-03-01T10:35:30Z"))
        step(meter_->nextSampleDelayMs());
    EXPECT_EQ(row("2026-03-01 10:00").mins, 2) << "written at 10:31, not since";
    step(meter_->nextSampleDelayMs()); // 10:36:00.05
    expectRow(row("2026-03-01 10:00"), 7, 1000, 0);
}

TEST_F(MeterTest, ASleepingMeterFollowsAChangeOfItsSettingsAtOnce)
{
    startMeter();
    ASSERT_GT(meter_->nextSampleDelayMs(), 10000);
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    QElapsedTimer waited;
    waited.start();
    while (testsupport::readStateFile(QStringLiteral("app_info")) != "[]" &&
           waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(testsupport::readStateFile(QStringLiteral("app_info")), "[]");
    EXPECT_EQ(meter_->nextSampleDelayMs(), 10000);
}

// A write the store refuses (another writer holds the lock) at a UTC day's
// last sample: the day's bytes go into that day's rows with the next write,
// after midnight, and the next day's into its own.
TEST_F(MeterTest, ADayKeepsItsBytesAcrossARefusedLastWrite)
{
    wallMs_ = utcMs("2026-03-01T23:59:30Z");
    startMeter();
    move("eth0", 100, 10);
    step(10000); // 23:59:40
    sqlite3 *writer = nullptr;
    ASSERT_EQ(sqlite3_open(vexmora::paths::kDatabaseFile, &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    move("eth0", 200, 20);
    step(10000); // 23:59:50, the day's last sample: its write is refused
    sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    EXPECT_EQ(sumOf("SELECT COUNT(*) FROM app_data"), "0");
    move("eth0", 400, 40);
    step(10000); // 00:00:00
    EXPECT_EQ(sumOf("SELECT group_concat(time || ' ' || recv || ' ' || sent, ', ') FROM "
                    "(SELECT * FROM app_data ORDER BY time)"),
              "2026-03-01 300 30, 2026-03-02 400 40");
    expectRow(row("2026-03-01 23:00"), 1, 300, 30);
}

TEST_F(MeterTest, AnHourThatRepeatsWhenClocksGoBackStaysOneRowOfAtMostSixtyMinutes)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    wallMs_ = utcMs("2026-10-25T00:00:00Z"); // 02:00 summer time
    startMeter();
    for (int i = 0; i < 2 * 360 - 1; ++i) { // up to 02:59:50 the second time
        if (i == 360 || i == 540) {         // a restart in the repeated hour continues its row
            meter_->shutdown();
            if (i == 540) // as after an upgrade from a version that kept no minutes
                sql("DELETE FROM meter_minutes");
            startMeter();
        }
        move("eth0", 10, 1);
        step(10000);
    }
    meter_->shutdown();
    expectRow(row("2026-10-25 02:00"), 60, 7190, 719);
    EXPECT_EQ(row("2026-10-25 03:00").mins, -1);
}

TEST_F(MeterTest, SwitchingOffKeepsWhatWasCountedAndSwitchingOnStartsAfresh)
{
    startMeter();
    move("eth0", 100, 10);
    step(10000);
    EXPECT_NE(testsupport::readStateFile(QStringLiteral("app_info")), "[]");
    move("eth0", 7, 7);
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    step(10000); // noticed within one interval, up to which the traffic counts
    expectRow(row("2026-03-01 10:00"), 1, 107, 17);
    EXPECT_EQ(testsupport::readStateFile(QStringLiteral("app_info")), "[]");
    EXPECT_EQ(QDir(QString::fromUtf8(vexmora::paths::kStateDir))
                  .entryList({QStringLiteral("*_info.*")}, QDir::Files),
              QStringList())
        << "the replaced snapshots were left behind";
    move("eth0", 5000, 5000);
    step(10000);
    ASSERT_EQ(settings_.setCountStatus(1), 0);
    step(5000); // a fresh baseline: the bytes moved while off are not counted
    step(5000);
    ASSERT_TRUE(QFile::remove(testsupport::statePath(QStringLiteral("app_info"))));
    step(5000); // the same snapshot: written again, as someone removed it
    EXPECT_NE(testsupport::readStateFile(QStringLiteral("app_info")), "");
    move("eth0", 1, 1);
    step(5000);
    meter_->shutdown();
    expectRow(row("2026-03-01 10:00"), 1, 108, 18); // one minute, counted in two spells
}

TEST_F(MeterTest, AlarmsRiseOnceOverTheirSizeAndClearBelowItOrOnAChange)
{
    ASSERT_EQ(settings_.setAlarmStatus(1), 0);
    ASSERT_EQ(settings_.setIngressAlarmStatus(1), 0);
    ASSERT_EQ(settings_.setEgressAlarmStatus(1), 0);
    ASSERT_EQ(settings_.setAlarmThreshold(1, 1), 0); // 1 MiB over 1 minute
    ASSERT_EQ(settings_.setIngressThreshold(2, 1), 0);
    ASSERT_EQ(settings_.setEgressThreshold(2, 1), 0);
    startMeter();
    // The kinds cleared, then those raised, by one sample.
    const auto changesAfter = [&](quint64 recv, quint64 sent, qint64 ms = 10000) {
        move("eth0", recv, sent);
        step(ms);
        QStringList names;
        for (AlarmKind kind : cleared_)
            names << alarmKindName(kind) + QStringLiteral(" cleared");
        for (const AlarmEvent &event : alarms_)
            names << alarmKindName(event.kind);
        alarms_.clear();
        cleared_.clear();
        return names.join(QLatin1Char(' ')).toStdString();
    };
    EXPECT_EQ(changesAfter(kMiB / 2, kMiB / 2), ""); // exactly the size is not over it
    EXPECT_EQ(changesAfter(0, kMiB), "overall");
    EXPECT_EQ(changesAfter(2 * kMiB, 0), "ingress"); // overall stays raised, once
    EXPECT_EQ(changesAfter(0, 2 * kMiB), "egress");  // what was sent, not received
    // Each sample's bytes leave the window 61 s after it; each kind clears
    // once, when its bytes are back to its size.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(changesAfter(0, 0), "");
    EXPECT_EQ(changesAfter(0, 0), "ingress cleared");
    EXPECT_EQ(changesAfter(0, 0), "egress cleared");
    EXPECT_EQ(changesAfter(0, 0), "");
    EXPECT_EQ(changesAfter(0, 0, 1000), "overall cleared");
    EXPECT_EQ(changesAfter(3 * kMiB, 0, 1000), "overall ingress");

    // A new threshold clears and forgets the traffic before it; traffic in
    // the sample that notices a change may raise an alarm again at once.
    ASSERT_EQ(settings_.setAlarmThreshold(4, 1), 0);
    EXPECT_EQ(changesAfter(0, 0), "overall cleared ingress cleared");
    EXPECT_EQ(changesAfter(4 * kMiB, 1), "overall ingress");
    ASSERT_EQ(settings_.setEgressAlarmStatus(0), 0);
    EXPECT_EQ(changesAfter(5 * kMiB, 3 * kMiB), // egress's switch is off
              "overall cleared ingress cleared overall ingress");
    // Counting off, the window still moves on.
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    for (int i = 0; i < 6; ++i)
        step(10000);
    EXPECT_EQ(changesAfter(0, 0, 1000), "overall cleared ingress cleared");
}

} // namespace
