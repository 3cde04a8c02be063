// vexmoractl against the real vexmorad on a private bus, with the database
// fed through vexmora-store.
#include "running_service.h"
#include "state_dir.h"
#include "tool_runner.h"

#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>
#include <memory>
#include <sqlite3.h>

using namespace testsupport;

namespace {

// Runs vexmora-store with the arguments of a '|'-separated line; true on exit 0.
bool store(const QString &line)
{
    return runTool(QStringLiteral(VEXMORA_STORE_PATH), line.split(QLatin1Char('|'))).exitCode == 0;
}

QString hourTextBefore(int hours)
{
    return QDateTime::currentDateTime()
        .addSecs(-3600 * hours)
        .toString(QStringLiteral("yyyy-MM-dd HH:00"));
}

QString reportStatusOf(const QString &hour)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(statePath(QStringLiteral("netflow.db")).toUtf8().constData(), &db,
                    SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT report_status FROM hour_data WHERE time = ?", -1, &statement,
                       nullptr);
    const QByteArray hourBytes = hour.toUtf8();
    sqlite3_bind_text(statement, 1, hourBytes.constData(), -1, SQLITE_TRANSIENT);
    const QString status = sqlite3_step(statement) == SQLITE_ROW
                               ? QString::number(sqlite3_column_int(statement, 0))
                               : QStringLiteral("<no row>");
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return status;
}

bool hasLine(const QByteArray &output, const QString &pattern)
{
    const QRegularExpression line(QLatin1Char('^') + pattern + QLatin1Char('$'),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(output)).hasMatch();
}

} // namespace

class ToolsCtlTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RunningService> running_;

    void startServiceOn(const QString &busConfig)
    {
        running_.reset();
        running_ = std::make_unique<RunningService>(busConfig);
        QVERIFY2(running_->start(), running_->startError().constData());
    }

    ToolRun ctl(const QStringList &arguments, const QString &busAddress = QString(),
                const QString &columns = QString())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           busAddress.isEmpty() ? running_->bus().address() : busAddress);
        environment.remove(QStringLiteral("COLUMNS"));
        if (!columns.isEmpty()) {
            environment.insert(QStringLiteral("COLUMNS"), columns);
        }
        return runTool(QStringLiteral(VEXMORACTL_PATH), arguments, environment);
    }

    bool serviceNameGone()
    {
        const QDeadlineTimer deadline(5000);
        while (running_->client().connection().interface()->isServiceRegistered(
            QString::fromLatin1(vexmora::bus::kServiceName))) {
            if (deadline.hasExpired()) {
                return false;
            }
            QThread::msleep(20);
        }
        return true;
    }

private Q_SLOTS:
    void init()
    {
        resetStateDir();
        startServiceOn(QString());
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            running_->dumpLogs();
        }
        running_.reset();
    }

    void statusShowsWhatSetChanged()
    {
        for (const QString &line : {QStringLiteral("set alarm on"), QStringLiteral("set egress on"),
                                    QStringLiteral("threshold overall 100 10"),
                                    QStringLiteral("threshold egress 50 30")}) {
            const ToolRun run = ctl(line.split(QLatin1Char(' ')));
            QVERIFY2(run.exitCode == 0, qPrintable(line + QLatin1Char('\n') + run.describe()));
        }
        QCOMPARE(running_->client().integer(QStringLiteral("getEgressAlarmStatus")), 1);

        const ToolRun status = ctl({QStringLiteral("status")});
        QCOMPARE(status.exitCode, 0);
        QVERIFY2(hasLine(status.out, QStringLiteral("count\\s+off")), status.out.constData());
        QVERIFY(hasLine(status.out, QStringLiteral("alarm\\s+on\\s+100\\s+30")));
        QVERIFY(hasLine(status.out, QStringLiteral("egress\\s+on\\s+50\\s+30")));
        QVERIFY(hasLine(status.out, QStringLiteral("ingress\\s+off\\s+0\\s+30")));

        const ToolRun json = ctl({QStringLiteral("status"), QStringLiteral("--json")});
        const QJsonObject object = QJsonDocument::fromJson(json.out).object();
        QCOMPARE(object.value(QStringLiteral("alarm")).toInt(), 1);
        QCOMPARE(object.value(QStringLiteral("count")).toInt(), 0);
        const QJsonObject thresholds = object.value(QStringLiteral("thresholds")).toObject();
        QCOMPARE(thresholds.value(QStringLiteral("overall"))[QStringLiteral("period")].toInt(), 30);
    }

    void topAndHoursShowWhatTheStoreWrote()
    {
        const QString nat = QStringLiteral("n\u00e4\u0165");
        QVERIFY(store(QStringLiteral("add-app|") + nat + QStringLiteral("|2147483648|1073741824")));
        QVERIFY(store(QStringLiteral("add-app|small|1|1")));
        const QString hour = hourTextBefore(2);
        QVERIFY(store(QStringLiteral("save-hour|") + hour +
                      QStringLiteral("|60|3221225472|1073741824|10|20|30")));

        const ToolRun top = ctl({QStringLiteral("top"), QStringLiteral("1")});
        QVERIFY2(top.exitCode == 0, qPrintable(top.describe()));
        QVERIFY2(hasLine(top.out, QStringLiteral("1  ") + nat +
                                      QStringLiteral("\\s+1\\.00\\s+2\\.00\\s+3\\.00")),
                 top.out.constData());
        QVERIFY(hasLine(top.out, QStringLiteral("2  small\\s+0\\.01\\s+0\\.01\\s+0\\.02")));

        const ToolRun hours = ctl({QStringLiteral("hours")}, QString(), QStringLiteral("72"));
        QVERIFY2(hours.exitCode == 0, qPrintable(hours.describe()));
        // up 1 GiB, down 3 GiB, averages in KiB/s over 60 minutes, then the peaks.
        QVERIFY2(hasLine(hours.out, hour + QStringLiteral("\\s+1\\.00\\s+3\\.00\\s+4\\.00\\s+291"
                                                          "\\s+873\\s+20\\s+10\\s+30\\s+no")),
                 hours.out.constData());
        const QStringList chart = QString::fromUtf8(hours.out)
                                      .section(QStringLiteral("a full bar is"), 1)
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(chart.size(), 3);
        QVERIFY(chart[1].startsWith(hour + QStringLiteral(" up ")));
        for (const QString &line : chart.mid(1)) {
            QVERIFY2(line.size() <= 72, qPrintable(line));
        }
        QCOMPARE(chart[2].count(QLatin1Char('=')), 3 * chart[1].count(QLatin1Char('#')));
    }

    void jsonIsTheReplyByteForByte()
    {
        writeStateFile(QStringLiteral("app_info"), "[{\"app\":\"n\xc3\xa4t\",\"up\":1}]\n");
        writeStateFile(QStringLiteral("process_info"), "not json");
        QVERIFY(store(QStringLiteral("add-app|pkg|5|6")));
        QVERIFY(store(QStringLiteral("save-hour|") + hourTextBefore(1) +
                      QStringLiteral("|60|1|2|3|4|5")));
        struct Case
        {
            QStringList arguments;
            const char *method;
            QVariantList methodArguments;
        };
        const QList<Case> cases = {
            {{QStringLiteral("apps")}, "getAllAppNetflow", {}},
            {{QStringLiteral("processes")}, "getAllProcessNetflow", {}},
            {{QStringLiteral("top"), QStringLiteral("3")}, "getRecentTop10", {3}},
            {{QStringLiteral("hours")}, "getRecentData", {1}},
        };
        for (const Case &c : cases) {
            const ToolRun run = ctl(c.arguments + QStringList{QStringLiteral("--json")});
            const QByteArray expected =
                running_->client().text(QString::fromLatin1(c.method), c.methodArguments).toUtf8();
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(expected.size() > 2, expected.constData());
            QCOMPARE(run.out, expected);
        }
    }

    void reportWithoutConsumeCallsNothing()
    {
        const QString hour = hourTextBefore(3);
        QVERIFY(store(QStringLiteral("save-hour|") + hour + QStringLiteral("|60|1|2|3|4|5")));
        const ToolRun refused = ctl({QStringLiteral("report")});
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.err.contains("--consume"), refused.err.constData());
        QCOMPARE(reportStatusOf(hour), QStringLiteral("0"));

        const ToolRun consumed = ctl({QStringLiteral("report"), QStringLiteral("--consume")});
        QVERIFY2(consumed.exitCode == 0, qPrintable(consumed.describe()));
        QVERIFY(consumed.out.contains("now marked reported: 1\n"));
        QVERIFY(hasLine(consumed.out, hour + QStringLiteral("\\s+.*")));
        QCOMPARE(reportStatusOf(hour), QStringLiteral("1"));

        const ToolRun again =
            ctl({QStringLiteral("report"), QStringLiteral("--consume"), QStringLiteral("--json")});
        const QJsonObject report = QJsonDocument::fromJson(again.out).object();
        QVERIFY2(report.value(QStringLiteral("hour")).isArray(), again.out.constData());
        QVERIFY(report.value(QStringLiteral("hour")).toArray().isEmpty());
    }

    void refusedValueExitsOne()
    {
        for (const QString &line :
             {QStringLiteral("threshold ingress -1 5"), QStringLiteral("threshold overall 5 -1")}) {
            const ToolRun run = ctl(line.split(QLatin1Char(' ')));
            QVERIFY2(run.exitCode == 1, qPrintable(line + QLatin1Char('\n') + run.describe()));
            QVERIFY(run.err.contains("refused"));
        }
        QCOMPARE(running_->client().text(QStringLiteral("getNetmonitorThreshold")),
                 QStringLiteral("{\"period\":0,\"size\":0}"));
    }

    void unreachableServiceExitsThree()
    {
        running_->service().stop();
        QVERIFY(serviceNameGone());
        ToolRun run = ctl({QStringLiteral("status")});
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.startsWith("vexmoractl: the vexmora service is not running"),
                 run.err.constData());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY(run.out.isEmpty());

        run = ctl({QStringLiteral("set"), QStringLiteral("count"), QStringLiteral("on")},
                  QStringLiteral("unix:path=/nonexistent/vexmora-test-bus"));
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.startsWith("vexmoractl: cannot reach the system bus"),
                 run.err.constData());
        QCOMPARE(run.err.count('\n'), 1);
    }

    void deniedAccessExitsThree()
    {
        startServiceOn(QStringLiteral(DENYING_BUS_CONFIG));
        for (const QString &line : {QStringLiteral("status"), QStringLiteral("set count on")}) {
            const ToolRun run = ctl(line.split(QLatin1Char(' ')));
            QVERIFY2(run.exitCode == 3, qPrintable(line + QLatin1Char('\n') + run.describe()));
            QVERIFY2(run.err.startsWith("vexmoractl: access denied"), run.err.constData());
            QCOMPARE(run.err.count('\n'), 1);
        }
        QVERIFY(!QFile::exists(statePath(QStringLiteral("setting.conf"))));
    }

    void badUsageExitsTwo()
    {
        for (const QString &line : {QString(), QStringLiteral("set count maybe"),
                                    QStringLiteral("top soon"), QStringLiteral("status --bogus")}) {
            const ToolRun run = ctl(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
            QVERIFY2(run.exitCode == 2, qPrintable(line + QLatin1Char('\n') + run.describe()));
            QVERIFY(run.err.contains("Usage: vexmoractl"));
            QVERIFY(run.out.isEmpty());
        }
        const ToolRun help = ctl({QStringLiteral("help"), QStringLiteral("top")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.startsWith("Usage: vexmoractl top"));
        QCOMPARE(running_->client().integer(QStringLiteral("getNetmonitorStatus")), 0);
    }
};

QTEST_GUILESS_MAIN(ToolsCtlTest)
#include "tools_ctl_test.moc"
