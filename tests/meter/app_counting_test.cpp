// The applications' share: the ledger, its rows written with the hour's,
// the sources tried in order and the textfile's names.
#include "app_ledger.h"
#include "meter_fixture.h"
#include "prometheus_textfile.h"
#include "snapshot_json.h"
#include "socket_count_source.h"

#include <functional>
#include <map>
#include <unistd.h>

using namespace metertest;

namespace {

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
    // Busiest first; up is sent, down received, rates over the seconds given.
    EXPECT_TRUE(
        appSnapshotJson(ledger, 2.0)
            .startsWith(R"([{"app":"curl","up":10,"down":400,"up_rate":5,"down_rate":200},)"));

    // A pid taken by another program starts from nothing; the new day too.
    ledger.account({process(7, "sshd", 1, 1)}, {2, 2}, day + 1);
    EXPECT_EQ(ledger.processes().value(7).name, QStringLiteral("sshd"));
    EXPECT_EQ(ledger.processes().value(7).bytes.total.recv, 1u);
    EXPECT_EQ(apps.value(QStringLiteral("curl")).total.recv, 0u);
    EXPECT_EQ(apps.value(QString::fromLatin1(kUnattributed)).total.recv, 1u);
}

// A user who renames a program in a loop makes no more rows than the limit.
TEST(AppLedger, ADayNamesAtMostTheLimitOfApplicationsTheRestIsOther)
{
    AppLedger ledger(2);
    const qint64 day = 20000;
    ledger.account({process(1, "a", 1, 0), process(0, kUnattributed, 1, 0), process(2, "b", 1, 0),
                    process(3, "c", 1, 0), process(4, "d", 2, 0)},
                   {6, 0}, day);
    ledger.account({process(1, "a", 5, 0), process(5, "e", 7, 0)}, {12, 0}, day);
    const auto rows = [&ledger] {
        std::map<std::string, quint64> received;
        for (auto it = ledger.appsToday().cbegin(); it != ledger.appsToday().cend(); ++it)
            received[it.key().toStdString()] = it->total.recv;
        return received;
    };
    const std::map<std::string, quint64> limited{
        {"a", 6}, {"b", 1}, {kOtherApps, 10}, {kUnattributed, 1}};
    EXPECT_EQ(rows(), limited);
    EXPECT_EQ(ledger.processes().value(5).app, QStringLiteral("e")) << "the process keeps its name";
    ledger.account({process(3, "c", 1, 0)}, {1, 0}, day + 1);
    EXPECT_EQ(rows(), (std::map<std::string, quint64>{{"c", 1}}));
}

// Writes what the ledger's rows lack, as the meter does with its hour rows.
void writeRows(AppLedger &ledger)
{
    const vexmora::store::AppWrite apps = ledger.unwritten();
    ASSERT_EQ(vexmora::store::saveHoursAppsAndBaselines({}, apps, {}), 0);
    ledger.written(apps);
}

// A connection's last bytes are counted by the host when they move, but
// attributed when its final counts come (after it left the kernel's socket
// table while its program held it): they are taken back from the day's
// unattributed bytes, also from those already written.
TEST_F(MeterTest, LateFinalCountsTakeTheirBytesBackFromTheUnattributed)
{
    AppLedger ledger;
    const qint64 day = 20000;
    ledger.account({process(7, "curl", 100, 10)}, {1100, 110}, day);
    writeRows(ledger);
    ledger.account({process(7, "curl", 900, 90)}, {50, 0}, day);
    writeRows(ledger);
    const char *stored = "SELECT group_concat(pkgname || ' ' || recv || ' ' || sent, ', ') FROM "
                         "(SELECT * FROM app_data ORDER BY pkgname)";
    EXPECT_EQ(sumOf(stored), "(unattributed) 150 10, curl 1000 100");
    EXPECT_EQ(ledger.appsToday().value(QString::fromLatin1(kUnattributed)).total.recv, 150u);
    // Beyond the day's unattributed bytes, the rest comes off the next ones.
    ledger.account({process(7, "curl", 300, 0)}, {0, 0}, day);
    ledger.account({}, {400, 0}, day);
    writeRows(ledger);
    EXPECT_EQ(sumOf(stored), "(unattributed) 250 10, curl 1300 100");
}

// A source of per-socket counts that opens or refuses as told and reports one
// socket of this process.
class FakeSource : public SocketCountSource
{
public:
    FakeSource(const char *name, bool opens) : name_(QLatin1String(name)), opens_(opens) {}
    QString name() const override { return name_; }
    bool open(QString *error) override
    {
        *error = QStringLiteral("refused");
        opened_ += opens_ ? 1 : 0;
        if (whileOpening_)
            whileOpening_();
        return opens_;
    }
    int notificationFd() const override { return -1; }
    void readNotifications() override {}
    SourceSample sample() override
    {
        const SocketOwner us{::getpid(), 0, "test"};
        return {{us}, {{us, true, {100, 10}}}, false};
    }
    void ownersInUse(QSet<quint32> &, QSet<qint64> &pids) const override { pids << ::getpid(); }
    void addHealth(AttributionHealth &health) const override
    {
        health.uncountedPackets += health_.uncountedPackets;
        health.staleEntries += health_.staleEntries;
    }
    int opened_ = 0;
    AttributionHealth health_;
    std::function<void()> whileOpening_; // what happens while it opens

private:
    QString name_;
    bool opens_;
};

TEST_F(MeterTest, TheFirstSourceThatOpensCountsOnceAndTheTextfileNamesIt)
{
    FakeSource refusing("bpf", false), opening("socket-table", true), never("third", true);
    sources_ = {&refusing, &opening, &never};
    startMeter();
    move("eth0", 1000, 100);
    step(10000);
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    step(10000);
    ASSERT_EQ(settings_.setCountStatus(1), 0);
    step(10000);
    EXPECT_EQ(opening.opened_, 1) << "opened once, counting switched on twice";
    EXPECT_EQ(never.opened_, 0);
    const QByteArray text = prometheusText(meter_->status());
    EXPECT_TRUE(text.contains("\nvexmora_attribution_source{source=\"socket-table\"} 1\n"))
        << text.constData();
    const auto apps = meter_->status().appsToday;
    EXPECT_TRUE(std::any_of(apps.begin(), apps.end(), [](const AppBytes &app) {
        return app.app == QLatin1String("meter_test") && app.bytes.recv > 0;
    })) << "this process counted through the source that opened";
}

// A source slow to open (a slow machine loading the kernel programs): the
// host's baseline comes after it, so the first sample is no gap and what
// moved before counting could attribute it is not counted.
TEST_F(MeterTest, ASourceSlowToOpenComesBeforeTheBaseline)
{
    FakeSource slow("bpf", true); // 100 and 10 B at every sample, none on eth0
    slow.whileOpening_ = [this] {
        wallMs_ += 40000;
        elapsedMs_ += 40000;
        move("eth0", 5000, 500);
    };
    sources_ = {&slow};
    startMeter();
    move("eth0", 1000, 100);
    step(10000);
    meter_->shutdown();
    EXPECT_EQ(sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM hour_data"), "1000 100");
    EXPECT_EQ(sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM app_data"), "1000 100");
}

// The application rows are written with the hour rows and the counters they
// were counted up to: what a start credits to the host after a kill is what
// they gain, less the attributed bytes beyond the host's that they hold
// already (traffic over interfaces that are not counted).
TEST_F(MeterTest, AfterAKillTheApplicationRowsGainWhatTheHostIsCredited)
{
    FakeSource source("bpf", true); // 100 and 10 B at every sample, none on eth0
    sources_ = {&source};
    startMeter();
    for (int i = 0; i < 7; ++i)
        step(10000); // 10:59:10; the rows of 10:59:00 hold 700 and 70 B beyond the host's
    meter_.reset();  // killed
    move("eth0", 5000, 500);
    startMeter();
    meter_->shutdown();
    EXPECT_EQ(sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM hour_data"), "5000 500");
    EXPECT_EQ(sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM app_data"), "5000 500");
}

// Packets the kernel had no room to count: the journal says so once a minute
// at most, the bus's current hour and the textfile tell how many.
TEST_F(MeterTest, UncountedPacketsAreSaidOnceAMinuteAtMostAndShown)
{
    FakeSource source("bpf", true);
    source.health_.uncountedPackets = 7;
    source.health_.staleEntries = 2;
    sources_ = {&source};
    WarningLog tableFull("table of live sockets is full");
    startMeter();
    for (int i = 0; i < 7; ++i)
        step(10000);
    source.health_.uncountedPackets = 9;
    for (int i = 0; i < 2; ++i)
        step(10000);
    const int withinTheMinute = tableFull.lines.size();
    for (int i = 0; i < 6; ++i)
        step(10000);
    EXPECT_EQ(withinTheMinute, 1) << tableFull.text();
    ASSERT_EQ(tableFull.lines.size(), 2);
    EXPECT_TRUE(tableFull.lines.last().startsWith(QLatin1String("9 packets")));
    EXPECT_TRUE(meter_->currentHourJson().contains(QLatin1String("\"uncounted_packets\":9")))
        << meter_->currentHourJson().toStdString();
    EXPECT_TRUE(prometheusText(meter_->status()).contains("\nvexmora_stale_entries_total 2\n"));
}

// The limit is the day's, not one run's: an earlier run's rows count too.
TEST_F(MeterTest, ApplicationsNamedBeforeARestartCountTowardsTheDaysLimit)
{
    wallMs_ = utcMs("2026-03-01T12:00:00Z");
    startMeter();
    meter_->shutdown();
    sql("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('earlier', 1, 1, 2, "
        "'2026-03-01')");
    FakeSource source("bpf", true);
    sources_ = {&source};
    maxAppsPerDay_ = 1;
    startMeter();
    move("eth0", 1000, 100);
    step(10000);
    meter_->shutdown();
    EXPECT_EQ(sumOf("SELECT group_concat(pkgname) FROM (SELECT pkgname FROM app_data WHERE pkgname "
                    "<> '(unattributed)' ORDER BY pkgname)"),
              "(other),earlier");
}

// The store dates the application rows when it writes them: the last sample
// of a UTC day writes them, also when the meter then sleeps up to midnight.
TEST_F(MeterTest, TheLastSampleOfAUtcDayWritesItsApplicationRows)
{
    wallMs_ = utcMs("2026-03-01T23:59:10Z");
    startMeter();
    move("eth0", 100, 10);
    step(meter_->nextSampleDelayMs()); // 23:59:30
    step(meter_->nextSampleDelayMs()); // 23:59:40, nothing moved
    ASSERT_EQ(meter_->nextSampleDelayMs(), 20000) << "a sleep up to midnight";
    EXPECT_EQ(sumOf("SELECT SUM(recv) || ' ' || SUM(sent) FROM app_data"), "100 10");
}

TEST(MeterOptions, MaxAppsIsAWholeNumberFromOneAndAttributionChoosesTheSourcesToTry)
{
    const auto parsed = [](const char *argument) {
        const ParsedMeterOptions p = parseMeterOptions({QLatin1String(argument)});
        return p.error.isEmpty() ? std::to_string(p.options.maxAppsPerDay) + ' ' +
                                       p.options.attributionSources.join(u',').toStdString()
                                 : std::string("error");
    };
    const std::pair<const char *, const char *> cases[] = {
        {"--interval=2", "10000 bpf,socket-table"},
        {"--max-apps=50", "50 bpf,socket-table"},
        {"--max-apps=0", "error"},
        {"--max-apps=lots", "error"},
        {"--attribution=auto", "10000 bpf,socket-table"},
        {"--attribution=bpf", "10000 bpf"},
        {"--attribution=socket-table", "10000 socket-table"},
        {"--attribution=pcap", "error"}};
    for (const auto &[argument, expected] : cases)
        EXPECT_EQ(parsed(argument), expected) << argument;
}

TEST(PrometheusText, EscapesApplicationNames)
{
    MeterStatus status;
    status.appsToday = {AppBytes{QStringLiteral("a\"b\\c\nd"), ByteCounts{1, 2}}};
    EXPECT_TRUE(prometheusText(status).contains(
        "vexmora_app_bytes_today{app=\"a\\\"b\\\\c\\nd\",direction=\"sent\"} 2\n"));
}

} // namespace
