// The report path under valgrind: vexmorad answers some hundreds of report
// calls on a seeded database, then loses its bus and leaves through its normal
// exit path, and memcheck finds no memory definitely lost and no other error.
#include "private_bus.h"
#include "service_client.h"
#include "service_process.h"
#include "state_dir.h"
#include "traffic_store.h"
#include "vexmora_paths.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QtTest>
#include <sqlite3.h>

using namespace vexmora::store;

using namespace testsupport;

namespace {

constexpr int kRounds = 200;
constexpr int kValgrindErrorExit = 99;

QByteArray localHour(int hoursAgo)
{
    return QDateTime::currentDateTime()
        .addSecs(-3600LL * hoursAgo)
        .toString(QStringLiteral("yyyy-MM-dd HH:00"))
        .toUtf8();
}

// Ten applications over the last weeks, so that every top-ten entry is built.
bool seedApplications()
{
    sqlite3 *db = nullptr;
    bool done = sqlite3_open(vexmora::paths::kDatabaseFile, &db) == SQLITE_OK &&
                createAppDataTable(db) == 0;
    for (int day = 1; done && day <= 20; ++day) {
        const QByteArray sql =
            QStringLiteral("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES "
                           "('app.%1.例', %2, %3, %2 + %3, DATE('now', '-%4 day', 'localtime'));")
                .arg(day % 12)
                .arg(qint64(day) << 28)
                .arg(qint64(day) << 20)
                .arg(day)
                .toUtf8();
        done = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_close(db);
    return done;
}

} // namespace

class ReportLeakTest : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch_;

    QString valgrindLog() const { return scratch_.filePath(QStringLiteral("memcheck.log")); }

    void launchUnderValgrind(QProcess &process, const QString &busAddress)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("valgrind"),
                      {QStringLiteral("--leak-check=full"),
                       QStringLiteral("--errors-for-leak-kinds=definite"),
                       QStringLiteral("--error-exitcode=%1").arg(kValgrindErrorExit),
                       QStringLiteral("--log-file=") + valgrindLog(),
                       QStringLiteral(VEXMORAD_PATH)});
    }

private Q_SLOTS:
    void reportCallsLeakNothing()
    {
        resetStateDir();
        QVERIFY(seedApplications());
        PrivateBus bus;
        QVERIFY(bus.start());
        ServiceClient client(bus.connect(QStringLiteral("client")));
        QProcess service;
        launchUnderValgrind(service, bus.address());
        QVERIFY2(waitForName(client.connection(), QString::fromLatin1(vexmora::bus::kServiceName),
                             60000),
                 service.readAll().constData());

        for (int round = 0; round < kRounds; ++round) {
            // A new hour each round, so that every report hands one out.
            const HourRecord record{60 - round % 60, 1LL << 30, round, round, 1, 2};
            QCOMPARE(saveHourData(localHour(2 + round).constData(), record), 0);
            const QString report = client.text(QStringLiteral("getReportData"));
            QVERIFY2(report.contains(QString::fromUtf8(localHour(2 + round))), qPrintable(report));
            const QString top10 = client.text(QStringLiteral("getRecentTop10"), {30});
            QVERIFY2(top10.count(QStringLiteral("\"app\"")) == 10, qPrintable(top10));
            const QString hours = client.text(QStringLiteral("getRecentData"), {7});
            QVERIFY2(QJsonDocument::fromJson(hours.toUtf8()).isArray(), qPrintable(hours));
        }

        // Losing the bus ends the service through the event loop's return,
        // so whatever it still holds is released or reachable, not lost.
        bus.stop();
        QVERIFY(service.waitForFinished(60000));
        QFile log(valgrindLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray report = log.readAll();
        for (const QByteArray &line : report.split('\n')) {
            if (line.contains("definitely lost:") || line.contains("ERROR SUMMARY:")) {
                qInfo("%s", line.constData());
            }
        }
        QVERIFY2(service.exitStatus() == QProcess::NormalExit && service.exitCode() == 1,
                 report.constData());
        QVERIFY2(report.contains("ERROR SUMMARY: 0 errors"), report.constData());
    }
};

QTEST_GUILESS_MAIN(ReportLeakTest)
#include "report_leak_test.moc"
