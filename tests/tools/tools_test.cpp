// vexmoractl against the real vexmorad on a private bus and vexmora-store
// against the scratch database: exit codes, what they print, what they change.
#include "service_test.h"

#include <QDBusMetaType>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>

using namespace testsupport;

namespace {

struct ToolRun
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

ToolRun runTool(const QString &program, const QStringList &arguments, const QString &busAddress)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    environment.insert(QStringLiteral("COLUMNS"), QStringLiteral("72"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool exited =
        process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
    return {exited ? process.exitCode() : -1, process.readAllStandardOutput().toStdString(),
            process.readAllStandardError().toStdString()};
}

bool hasLine(const std::string &output, const char *pattern)
{
    return QRegularExpression(QStringLiteral("^") + QString::fromUtf8(pattern) + QLatin1Char('$'),
                              QRegularExpression::MultilineOption)
        .match(QString::fromStdString(output))
        .hasMatch();
}

// The local hour text of `hours` hours ago; a day ahead of UTC (see CMakeLists.txt).
QString hourBefore(int hours)
{
    return QDateTime::currentDateTime()
        .addSecs(-3600 * hours)
        .toString(QStringLiteral("yyyy-MM-dd HH:00"));
}

class Tools : public ServiceTest
{
protected:
    // A command line of vexmoractl, arguments apart by blanks.
    ToolRun ctl(const QString &line, const QString &busAddress = QString())
    {
        return runTool(QStringLiteral(VEXMORACTL_PATH), line.split(u' ', Qt::SkipEmptyParts),
                       busAddress.isEmpty() ? bus_.address() : busAddress);
    }
    ToolRun ctl(const char *line) { return ctl(QString::fromUtf8(line)); }
    // A command line of vexmora-store, arguments apart by '|'; %1 stands for `hour`.
    static ToolRun store(const char *line, const QString &hour = QString())
    {
        const QString text = QString::fromUtf8(line);
        return runTool(QStringLiteral(VEXMORA_STORE_PATH),
                       (hour.isNull() ? text : text.arg(hour)).split(u'|'), QString());
    }
    static std::string sql(const char *query)
    {
        return runTool(QStringLiteral("sqlite3"),
                       {statePath(QStringLiteral("netflow.db")), QString::fromLatin1(query)},
                       QString())
            .out;
    }
};

TEST_F(Tools, BadUsageExitsTwoWithTheUsageAndTouchesNothing)
{
    const auto expectUsage = [](const ToolRun &run, const char *tool, const char *line) {
        EXPECT_TRUE(run.exitCode == 2 && run.out.empty() &&
                    run.err.rfind(std::string(tool) + ": ", 0) == 0 &&
                    run.err.find(std::string("Usage: ") + tool) != std::string::npos)
            << line << ": " << run.exitCode << ' ' << run.out << run.err;
    };
    for (const char *line :
         {"", "frobnicate", "set count maybe", "set volume on", "set count 1",
          "threshold overall 10", "threshold daily 1 2", "threshold overall 1x 2",
          "threshold overall 2147483648 1", "top -1", "top 1 2", "hours abc", "status extra",
          "status --bogus", "set count on --json", "top --consume", "help nope", "report"})
        expectUsage(ctl(line), "vexmoractl", line);
    for (const char *line :
         {"add-app|pkg|9223372036854775808|1", "add-app|pkg|1|-1", "add-app|pkg|+1|1",
          "add-app|pkg|1k|1", "add-app||1|1", "add-app|pkg|1", "add-app|--force|pkg|1|1",
          "save-hour|2023-02-29 10:00|60|1|1|1|1|1", "save-hour|2024-05-01 10:30|60|1|1|1|1|1",
          "save-hour|2024-05-01 10:00|61|1|1|1|1|1",
          "save-hour|2024-05-01 10:00|60|1|1|2147483648|1|1", "load-hour|2024-05-01 10:00'",
          "purge|sqlite_master|1", "purge|app_data|-1", "drop|app_data"})
        expectUsage(store(line), "vexmora-store", line);
    EXPECT_TRUE(QDir(stateDir()).isEmpty()) << "no settings written, no database opened";
}

TEST_F(Tools, VexmoraStoreWritesLoadsAndPurgesWhatItIsGivenAndExitsOneWhenTheStoreFails)
{
    EXPECT_EQ(store("load-hour|2024-05-01 10:00").exitCode, 1); // no table
    EXPECT_EQ(store("add-app|n\u00e4t|100|200").exitCode, 0);
    EXPECT_EQ(store("add-app|n\u00e4t|5|7").exitCode, 0);
    EXPECT_EQ(sql("SELECT pkgname, recv, sent, total, time = date('now') FROM app_data"),
              "n\u00e4t|105|207|312|1\n");
    const QString hour = QStringLiteral("2024-05-01 13:00");
    EXPECT_EQ(store("save-hour|%1|30|9223372036854775807|20|30|40|2147483647", hour).exitCode, 0);
    EXPECT_EQ(store("load-hour|%1", hour).out,
              "hour 2024-05-01 13:00\nmins 30\nrecv 9223372036854775807\nsent 20\nrecv_peak 30\n"
              "sent_peak 40\ntotal_peak 2147483647\n");
    EXPECT_EQ(store("purge|hour_data|1").exitCode, 0);
    EXPECT_EQ(store("load-hour|%1", hour).out, "no row for hour 2024-05-01 13:00\n");
    QFile::remove(statePath(QStringLiteral("netflow.db")));
    QDir(stateDir()).mkdir(QStringLiteral("netflow.db"));
    EXPECT_EQ(store("add-app|pkg|1|1").exitCode, 1);
    QDir(statePath(QStringLiteral("netflow.db"))).removeRecursively(); // for the next test's store
}

TEST_F(Tools, StatusShowsWhatSetAndThresholdChanged)
{
    for (const char *line :
         {"set alarm on", "set egress on", "threshold overall 100 10", "threshold egress 50 30"}) {
        EXPECT_EQ(ctl(line).exitCode, 0) << line;
    }
    const ToolRun status = ctl("status");
    EXPECT_TRUE(hasLine(status.out,
                        "count\\s+off\\s+alarm\\s+on\\s+100\\s+30\\s+egress\\s+on\\s+50\\s+30\\s+"
                        "ingress\\s+off\\s+0\\s+30"))
        << status.out;
    const QJsonObject json =
        QJsonDocument::fromJson(QByteArray::fromStdString(ctl("status --json").out)).object();
    EXPECT_EQ(json[QStringLiteral("alarm")].toInt(), 1);
    EXPECT_EQ(json[QStringLiteral("thresholds")][QStringLiteral("egress")][QStringLiteral("size")]
                  .toInt(),
              50);
}

TEST_F(Tools, TopAndHoursShowWhatTheStoreHolds)
{
    // The store dates application rows by UTC day: yesterday's local day here.
    ASSERT_EQ(store("add-app|n\u00e4\u0165|2147483648|1073741824").exitCode, 0);
    ASSERT_EQ(store("add-app|small|1|1").exitCode, 0);
    ASSERT_EQ(store("save-hour|%1|60|3221225472|1073741824|10|20|30", hourBefore(2)).exitCode, 0);

    const ToolRun top = ctl("top 1");
    EXPECT_TRUE(hasLine(top.out, "1  n\u00e4\u0165\\s+1\\.00\\s+2\\.00\\s+3\\.00") &&
                hasLine(top.out, "2  small\\s+0\\.01\\s+0\\.01\\s+0\\.02"))
        << top.out;
    // Up 1 GiB, down 3 GiB, the averages in KiB/s over 60 minutes, then the peaks.
    const ToolRun hours = ctl("hours");
    const QString row =
        hourBefore(2) +
        QStringLiteral("\\s+1\\.00\\s+3\\.00\\s+4\\.00\\s+291\\s+873\\s+20\\s+10\\s+30\\s+no");
    EXPECT_TRUE(hasLine(hours.out, row.toUtf8().constData())) << hours.out;
    const QStringList chart = QString::fromStdString(hours.out)
                                  .section(QStringLiteral("a full bar is"), 1)
                                  .split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(chart.size(), 3) << hours.out;
    EXPECT_LE(chart[1].size(), 72);
    EXPECT_LE(chart[2].size(), 72);
    EXPECT_EQ(chart[2].count(u'='), 3 * chart[1].count(u'#'));
}

TEST_F(Tools, JsonIsTheReplyByteForByteAndTheReportIsConsumedOnlyWhenAsked)
{
    writeStateFile(QStringLiteral("app_info"), "[{\"app\":\"n\xc3\xa4t\",\"up\":1}]\n");
    writeStateFile(QStringLiteral("process_info"), "not json");
    ASSERT_EQ(store("add-app|pkg|5|6").exitCode, 0);
    ASSERT_EQ(store("save-hour|%1|60|1|2|3|4|5", hourBefore(3)).exitCode, 0);
    const std::pair<const char *, std::pair<const char *, QVariantList>> cases[] = {
        {"apps", {"getAllAppNetflow", {}}},
        {"processes", {"getAllProcessNetflow", {}}},
        {"top 3", {"getRecentTop10", {3}}},
        {"hours", {"getRecentData", {1}}}};
    for (const auto &[line, reply] : cases) {
        const ToolRun run = ctl(QString::fromLatin1(line) + QStringLiteral(" --json"));
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, answer(reply.first, reply.second).toString().toStdString()) << line;
    }
    EXPECT_NE(ctl("report --consume").out.find("now marked reported: 1\n"), std::string::npos);
    EXPECT_EQ(ctl("report --consume --json").out.rfind(R"({"hour":[],)", 0), 0u);
}

// Nothing but line feeds of the tool's own, and no character that a terminal
// takes for control or that turns the text around.
bool isInert(const std::string &output)
{
    for (const QChar c : QString::fromStdString(output)) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\n') || (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E))
            return false;
    }
    return true;
}

TEST_F(Tools, TextFromTheBusReachesTheTerminalEscapedOneRowALine)
{
    writeStateFile(QStringLiteral("app_info"),
                   R"([{"app":"\u001b[2J\u001b[31mFAKE\nrow\u202e\u0085","up":1}])");
    writeStateFile(QStringLiteral("process_info"), "not json \x1b[2J\xe2\x80\xae");
    const ToolRun apps = ctl("apps");
    EXPECT_TRUE(isInert(apps.out)) << apps.out;
    EXPECT_EQ(std::count(apps.out.begin(), apps.out.end(), '\n'), 3) << apps.out;
    EXPECT_NE(apps.out.find(R"(\x1b[2J\x1b[31mFAKE\x0arow\u202e\x85  1 B)"), std::string::npos)
        << apps.out;
    const ToolRun processes = ctl("processes");
    EXPECT_TRUE(isInert(processes.out)) << processes.out;
    EXPECT_NE(processes.out.find(R"(not json \x1b[2J\u202e)"), std::string::npos);
}

// Anyone on the bus may send a signal of the meter's interface: watch shows
// only those of the connection that owns the meter's name, as its RaisedAlarms
// property changes.
TEST_F(Tools, WatchShowsTheAlarmsOfTheMeterAloneEscaped)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus_.address());
    QProcess watch;
    watch.setProcessEnvironment(environment);
    watch.start(QStringLiteral(VEXMORACTL_PATH), {QStringLiteral("watch")});
    QByteArray out;
    const auto waitFor = [&](const char *text) {
        for (int i = 0; i < 100 && !out.contains(text); ++i) {
            watch.waitForReadyRead(100);
            out += watch.readAllStandardOutput();
        }
        return out.contains(text);
    };
    ASSERT_TRUE(waitFor("Waiting for traffic alarms")) << out.constData();
    QDBusConnection meter = bus_.connect(QStringLiteral("meter"));
    QDBusConnection forger = bus_.connect(QStringLiteral("forger"));
    ASSERT_TRUE(meter.registerService(QString::fromLatin1(vexmora::bus::kMeterServiceName)));
    const auto raised = [](const QList<QVariantMap> &alarms) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QString::fromLatin1(vexmora::bus::kMeterObjectPath),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        signal.setArguments(
            {QString::fromLatin1(vexmora::bus::kMeterInterface),
             QVariantMap{{QStringLiteral("RaisedAlarms"), QVariant::fromValue(alarms)}},
             QStringList()});
        return signal;
    };
    const auto alarm = [](const QString &kind, qulonglong bytes, qulonglong limit) {
        return QVariantMap{{QStringLiteral("kind"), kind},
                           {QStringLiteral("bytes"), bytes},
                           {QStringLiteral("limit"), limit},
                           {QStringLiteral("since"), qlonglong(1700000000)}};
    };
    const QVariantMap overall = alarm(QStringLiteral("overall\n\x1b[2J\u202e"), 2 << 20, 1 << 20);
    ASSERT_TRUE(forger.send(raised({alarm(QStringLiteral("forged"), 1, 1)})));
    ASSERT_TRUE(meter.send(raised({overall})));
    EXPECT_TRUE(waitFor("alarm: 2.0 MiB")) << out.constData();
    // A forged clearing would show the overall alarm raised again here.
    ASSERT_TRUE(forger.send(raised({})));
    ASSERT_TRUE(meter.send(raised({overall, alarm(QStringLiteral("ingress"), 3 << 20, 1 << 20)})));
    EXPECT_TRUE(waitFor("alarm: 3.0 MiB")) << out.constData();
    ASSERT_TRUE(meter.send(raised({})));
    EXPECT_TRUE(waitFor("ingress alarm cleared") && waitFor(R"(\u202e alarm cleared)"))
        << out.constData();
    watch.terminate();
    watch.waitForFinished(5000);
    out += watch.readAllStandardOutput();
    EXPECT_FALSE(out.contains("forged")) << out.constData();
    EXPECT_TRUE(isInert(out.toStdString())) << out.constData();
    EXPECT_TRUE(out.contains(R"(overall\x0a\x1b[2J\u202e alarm: 2.0 MiB)")) << out.constData();
    EXPECT_EQ(out.count("alarm: 2.0 MiB"), 1) << out.constData();
    EXPECT_EQ(out.count("alarm cleared"), 2) << out.constData();
}

TEST_F(Tools, ARefusedValueExitsOneAndAnUnreachableOrClosedServiceThree)
{
    for (const char *line : {"threshold ingress -1 5", "threshold overall 5 -1"}) {
        const ToolRun run = ctl(line);
        EXPECT_EQ(run.exitCode, 1) << line;
        EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
    }
    PrivateBus withoutService;
    PrivateBus denying(QStringLiteral(DENYING_BUS_CONFIG)); // the service's interface closed
    ServiceProcess behindThePolicy;
    ASSERT_TRUE(withoutService.start() && denying.start() &&
                behindThePolicy.start(denying.address(), denying.connect(QStringLiteral("w"))));
    const std::pair<QString, const char *> cases[] = {
        {withoutService.address(), "vexmoractl: the vexmora service is not running"},
        {denying.address(), "vexmoractl: access denied"},
        {QStringLiteral("unix:path=/nonexistent/bus"), "vexmoractl: cannot reach the system bus"}};
    for (const auto &[address, message] : cases) {
        const ToolRun run = ctl(QStringLiteral("status"), address);
        EXPECT_EQ(run.exitCode, 3) << message;
        EXPECT_EQ(run.err.rfind(message, 0), 0u) << run.err;
    }
}

} // namespace
