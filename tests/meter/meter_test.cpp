#include "app_ledger.h"
#include "meter_fixture.h"
#include "snapshot_files.h"

#include <QCoreApplication>

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
    move("eth0", 10 * kKiBMinute, 0);
    step(30000);
    step(20000); // 10:58:50
    move("eth0", 20 * kKiBMinute, 5 * kKiBMinute);
    step(20000); // 10:59:10
    step(30000);
    move("eth0", 4 * kKiBMinute, 4 * kKiBMinute);
    step(30000); // 11:00:10: 10:00 is finished and written
    const HourRecord ten = row("2026-03-01 10:00");
    expectRow(ten, 2, 30 * kKiBMinute, 5 * kKiBMinute);
    EXPECT_EQ(ten.recv_peak, 20);
    EXPECT_EQ(ten.sent_peak, 5);
    EXPECT_EQ(ten.total_peak, 25); // the combined peak of one minute, not a sum of peaks

    meter_->shutdown();
    expectRow(row("2026-03-01 11:00"), 1, 4 * kKiBMinute, 4 * kKiBMinute);
}

TEST_F(MeterTest, ResetsAndInterfacesThatComeAndGoAreCountedOnce)
{
    setInterface("veth0", FakeInterface{0, 0, 9, false});
    startMeter();
    const struct
    {
        const char *what;
        std::function<void()> change;
        qint64 credited;
    } steps[] = {
        {"plain increase", [&] { move("eth0", 500, 0); }, 500},
        {"counter reset",
         [&] {
             setInterface("eth0", FakeInterface{300, 2000, 2, true});
         },
         300},
        {"created anew",
         [&] {
             setInterface("eth0", FakeInterface{100, 0, 5, true});
         },
         100},
        {"a rise no link carries",
         [&] {
             setInterface("eth0", FakeInterface{~quint64(0) - 10, 0, 5, true});
         },
         0},
        {"down from near 2^64",
         [&] {
             setInterface("eth0", FakeInterface{7, 0, 5, true});
         },
         7},
        {"a physical interface appears",
         [&] {
             setInterface("eth1", FakeInterface{50, 0, 6});
         },
         50},
        {"and goes", [&] { removeInterface("eth1"); }, 0},
        {"veth is not counted", [&] { move("veth0", 999, 999); }, 0},
    };
    qint64 expected = 0;
    for (const auto &s : steps) {
        s.change();
        step(10000);
        expected += s.credited;
        meter_->shutdown();
        EXPECT_EQ(row("2026-03-01 10:00").recv, expected) << s.what;
    }
}

TEST_F(MeterTest, GapsAndWallClockJumpsNeverCreditOrOverwriteWhatIsUnknown)
{
    startMeter();
    move("eth0", 1000, 0);
    step(10000);
    // A suspend: an hour on the elapsed clock; the bytes of it are not credited.
    move("eth0", 777777, 0);
    step(3600 * 1000);
    move("eth0", 10, 0);
    step(10000);
    meter_->shutdown();
    EXPECT_EQ(row("2026-03-01 10:00").recv, 1000);
    EXPECT_EQ(row("2026-03-01 11:00").recv, 10);

    // The wall clock jumps back into 10:00, whose row continues instead of
    // being replaced by a smaller one.
    clock_.wall = utcMs("2026-03-01 10:30:00");
    move("eth0", 5, 0);
    step(10000);
    meter_->shutdown();
    EXPECT_EQ(row("2026-03-01 10:00").recv, 1005);
    EXPECT_EQ(row("2026-03-01 10:00").mins, 2);
}

TEST_F(MeterTest, AnHourThatRepeatsWhenClocksGoBackStaysOneRowOfAtMostSixtyMinutes)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    clock_.wall = utcMs("2026-10-25 00:00:00"); // 02:00 summer time
    startMeter();
    for (int i = 0; i < 2 * 360 - 1; ++i) { // up to 02:59:50 the second time
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
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    step(10000); // noticed within one interval; the hour is written
    expectRow(row("2026-03-01 10:00"), 1, 100, 10);
    move("eth0", 5000, 5000);
    step(10000);
    ASSERT_EQ(settings_.setCountStatus(1), 0);
    step(10000); // a fresh baseline: the bytes moved while off are not counted
    move("eth0", 1, 1);
    step(10000);
    meter_->shutdown();
    expectRow(row("2026-03-01 10:00"), 2, 101, 11);
}

TEST_F(MeterTest, ARestartWithinTheHourContinuesItsRow)
{
    startMeter();
    move("eth0", 1000, 100);
    step(10000);
    meter_->shutdown();
    move("eth0", 50000, 50000); // while no meter ran
    clock_.wall += 80000;
    clock_.elapsed += 80000;
    startMeter(); // 10:59:30
    move("eth0", 200, 20);
    step(10000);
    meter_->shutdown();
    expectRow(row("2026-03-01 10:00"), 2, 1200, 120);
}

TEST_F(MeterTest, AlarmsRiseOnceOverTheirSizeAndRearmBelowItOrOnAChange)
{
    ASSERT_EQ(settings_.setAlarmStatus(1), 0);
    ASSERT_EQ(settings_.setIngressAlarmStatus(1), 0);
    ASSERT_EQ(settings_.setAlarmThreshold(1, 1), 0); // 1 MiB over 1 minute
    ASSERT_EQ(settings_.setIngressThreshold(2, 1), 0);
    ASSERT_EQ(settings_.setEgressThreshold(1, 1), 0); // its switch is off
    startMeter();
    const auto kinds = [&] {
        QStringList names;
        for (const AlarmEvent &event : sink_.events) {
            names << alarmKindName(event.kind);
        }
        sink_.events.clear();
        return names.join(QLatin1Char(' '));
    };
    move("eth0", kMiB / 2, kMiB / 2);
    step(10000);
    EXPECT_EQ(kinds(), QString()); // exactly the size is not over it
    move("eth0", 0, kMiB);
    step(10000);
    EXPECT_EQ(kinds(), QStringLiteral("overall"));
    move("eth0", 2 * kMiB, 0);
    step(10000);
    EXPECT_EQ(kinds(), QStringLiteral("ingress")); // overall stays raised, once
    for (int i = 0; i < 7; ++i) {                  // the window empties: both re-armed
        step(10000);
    }
    move("eth0", 3 * kMiB, 0);
    step(10000);
    EXPECT_EQ(kinds(), QStringLiteral("overall ingress"));

    // A new threshold re-arms and forgets the traffic before it.
    ASSERT_EQ(settings_.setAlarmThreshold(4, 1), 0);
    step(10000);
    EXPECT_EQ(kinds(), QString());
    move("eth0", 4 * kMiB, 1);
    step(10000);
    EXPECT_EQ(kinds(), QStringLiteral("overall ingress"));
    EXPECT_TRUE(meter_->status().alarmRaised[size_t(AlarmKind::Overall)]);
    EXPECT_FALSE(meter_->status().alarmRaised[size_t(AlarmKind::Egress)]);
}

ProcessTraffic process(qint64 pid, const char *name, quint64 recv, quint64 sent)
{
    return ProcessTraffic{pid, QString::fromLatin1(name), QString::fromLatin1(name), {recv, sent}};
}

TEST(AppLedger, ApplicationsAddUpToTheHostAndProcessesKeepTheirOwnCounts)
{
    AppLedger ledger;
    const qint64 day = 20000;
    // What the host moved beyond the attributed bytes is unattributed; bytes
    // attributed beyond the host's come off the next unattributed ones.
    ledger.account({process(7, "curl", 100, 10), process(0, kUnattributed, 5, 0)}, {150, 10}, day);
    ledger.account({process(7, "curl", 300, 0)}, {200, 50}, day);
    ledger.account({process(8, "wget", 0, 0)}, {400, 0}, day);
    const auto &apps = ledger.appsToday();
    EXPECT_EQ(apps.value(QStringLiteral("curl")).total.recv, 400u);
    EXPECT_EQ(apps.value(QString::fromLatin1(kUnattributed)).total.recv, 5u + 45 + 300);
    EXPECT_EQ(apps.value(QString::fromLatin1(kUnattributed)).total.sent, 50u);
    EXPECT_FALSE(apps.contains(QStringLiteral("wget"))); // no bytes, no row

    // A pid taken by another program starts from nothing; the new day too.
    ledger.account({process(7, "sshd", 1, 1)}, {2, 2}, day + 1);
    EXPECT_EQ(ledger.processes().value(7).name, QStringLiteral("sshd"));
    EXPECT_EQ(ledger.processes().value(7).bytes.total.recv, 1u);
    EXPECT_EQ(apps.value(QStringLiteral("curl")).total.recv, 0u);
    EXPECT_EQ(apps.value(QString::fromLatin1(kUnattributed)).total.recv, 1u);
}

TEST(AppLedger, SnapshotsListTheBusiestFirstInTheirMembersOrder)
{
    AppLedger ledger;
    ledger.account({process(2, "a", 10, 0), process(3, "b", 0, 20)}, {10, 20}, 1);
    EXPECT_EQ(appSnapshotJson(ledger, 2.0),
              R"([{"app":"b","up":20,"down":0,"up_rate":10,"down_rate":0},)"
              R"({"app":"a","up":0,"down":10,"up_rate":0,"down_rate":5}])");
    ledger.startRecentWindow();
    EXPECT_EQ(processSnapshotJson(ledger, 2.0),
              R"([{"pid":3,"name":"b","app":"b","up":20,"down":0,"up_rate":0,"down_rate":0},)"
              R"({"pid":2,"name":"a","app":"a","up":0,"down":10,"up_rate":0,"down_rate":0}])");
}

TEST(MeterOptions, AreCheckedBeforeAnythingRuns)
{
    const struct
    {
        QStringList arguments;
        QString error;
        qint64 intervalMs;
    } cases[] = {
        {{}, {}, 2000},
        {{QStringLiteral("--interval=0.1"), QStringLiteral("--interfaces=eth0,wlan0")}, {}, 100},
        {{QStringLiteral("--interval"), QStringLiteral("0.05")}, QStringLiteral("--interval"), 0},
        {{QStringLiteral("--interval=61")}, QStringLiteral("--interval"), 0},
        {{QStringLiteral("--interval=nan")}, QStringLiteral("--interval"), 0},
        {{QStringLiteral("--interfaces=eth0,,x")}, QStringLiteral("--interfaces"), 0},
        {{QStringLiteral("--interfaces=../../x")}, QStringLiteral("--interfaces"), 0},
        {{QStringLiteral("--keep-days=0")}, QStringLiteral("--keep-days"), 0},
        {{QStringLiteral("--textfile=")}, QStringLiteral("--textfile"), 0},
        {{QStringLiteral("--verbose")}, QStringLiteral("verbose"), 0},
        {{QStringLiteral("now")}, QStringLiteral("now"), 0},
    };
    for (const auto &c : cases) {
        const ParsedMeterOptions parsed = parseMeterOptions(c.arguments);
        const QString what = c.arguments.join(QLatin1Char(' '));
        if (c.error.isEmpty()) {
            EXPECT_TRUE(parsed.error.isEmpty())
                << qPrintable(what + QLatin1Char(' ') + parsed.error);
            EXPECT_EQ(parsed.options.intervalMs, c.intervalMs) << qPrintable(what);
        } else {
            EXPECT_TRUE(parsed.error.contains(c.error))
                << qPrintable(what + QLatin1Char(' ') + parsed.error);
        }
    }
}

TEST(PrometheusText, EscapesLabelsAndNamesEverySeries)
{
    MeterStatus status;
    status.hostBytes = ByteCounts{12, 34};
    status.counting = true;
    status.alarmRaised = {false, true, false};
    status.appsToday = {AppBytes{QStringLiteral("a\"b\\c\nd"), ByteCounts{1, 2}}};
    const QByteArray text = prometheusText(status);
    for (const char *line :
         {"vexmora_host_bytes_total{direction=\"recv\"} 12\n",
          "vexmora_host_bytes_total{direction=\"sent\"} 34\n", "vexmora_counting 1\n",
          "vexmora_alarm_raised{kind=\"egress\"} 1\n", "vexmora_alarm_raised{kind=\"overall\"} 0\n",
          "vexmora_app_bytes_today{app=\"a\\\"b\\\\c\\nd\",direction=\"sent\"} 2\n",
          "# TYPE vexmora_host_bytes_total counter\n"}) {
        EXPECT_TRUE(text.contains(line)) << line << "\n" << text.constData();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
