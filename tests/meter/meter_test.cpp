#include "meter_fixture.h"

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
    status.hostBytes = Traffic{12, 34};
    status.counting = true;
    status.alarmRaised = {false, true, false};
    status.appsToday = {AppBytes{QStringLiteral("a\"b\\c\nd"), Traffic{1, 2}}};
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
