// The service running through broken surroundings: a missing state
// directory, a full or read-only disk, a damaged or locked database, hostile
// snapshot paths. Every call answers at once and truthfully; nothing crashes.
// Runs in a mount namespace of its own (see CMakeLists.txt).
#include "running_service.h"
#include "state_dir.h"
#include "traffic_store.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>
#include <memory>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vexmora::store;

using namespace testsupport;

namespace {

const QString kEmptyReport = QStringLiteral("{\"hour\":[],\"top10\":{\"7day\":[],\"30day\":[]}}");
const QString kEmptyThreshold = QStringLiteral("{\"period\":0,\"size\":0}");
const QString kDatabase = QStringLiteral("netflow.db");

bool run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

void seedHours(int count)
{
    for (int i = 0; i < count; ++i) {
        const QByteArray hour = QStringLiteral("2020-01-%1 %2:00")
                                    .arg(1 + i / 24, 2, 10, QLatin1Char('0'))
                                    .arg(i % 24, 2, 10, QLatin1Char('0'))
                                    .toUtf8();
        saveHourData(hour.constData(), HourRecord{60, 1 << 20, 1 << 21, 1, 2, 3});
    }
}

int handedOutHours(const QString &report)
{
    return QJsonDocument::fromJson(report.toUtf8())
        .object()
        .value(QStringLiteral("hour"))
        .toArray()
        .size();
}

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<RunningService> running_;

    QString text(const char *method)
    {
        return running_->client().text(QString::fromLatin1(method));
    }
    int integer(const char *method, const QVariantList &arguments = {})
    {
        return running_->client().integer(QString::fromLatin1(method), arguments);
    }

    void mountTmpfs(const QString &options)
    {
        QVERIFY(run(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), options,
                     QStringLiteral("tmpfs"), stateDir()}));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0) {
            QSKIP("needs root to mount tmpfs file systems over the state directory");
        }
    }

    void init()
    {
        resetStateDir();
        running_ = std::make_unique<RunningService>();
        QVERIFY2(running_->start(), running_->startError().constData());
    }

    void cleanup()
    {
        QVERIFY2(running_->service().isRunning(), running_->service().log().constData());
        QCOMPARE(integer("getNetmonitorStatus") >= 0, true);
        if (QTest::currentTestFailed()) {
            running_->dumpLogs();
        }
        running_.reset();
        run(QStringLiteral("umount"), {QStringLiteral("-q"), stateDir()});
    }

    void missingStateDirectory()
    {
        QVERIFY(QDir(stateDir()).removeRecursively());
        QCOMPARE(integer("getNetmonitorAlarmStatus"), 0);
        QCOMPARE(text("getEgressThreshold"), kEmptyThreshold);
        QCOMPARE(text("getAllAppNetflow"), QStringLiteral("[]"));
        QCOMPARE(running_->client().text(QStringLiteral("getRecentTop10"), {7}),
                 QStringLiteral("[]"));
        QCOMPARE(running_->client().text(QStringLiteral("getRecentData"), {7}),
                 QStringLiteral("[]"));
        QCOMPARE(text("getReportData"), kEmptyReport);
        QVERIFY(running_->service().log().contains("Cannot open database"));
        // The settings writer makes the directory again, so the change is kept.
        QCOMPARE(integer("setNetmonitorAlarmStatus", {1}), 0);
        QCOMPARE(integer("getNetmonitorAlarmStatus"), 1);
        QVERIFY(readStateFile(QStringLiteral("setting.conf")).contains("NETFLOW_ALARM_STATUS=1"));
    }

    void fullAndReadOnlyDisk()
    {
        mountTmpfs(QStringLiteral("size=16k"));
        QCOMPARE(integer("setIngressThreshold", {10, 20}), 0);
        QFile filler(statePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'x')) > 0 && filler.flush()) {
        }
        filler.close();
        QCOMPARE(integer("setIngressThreshold", {30, 40}), -1);
        QCOMPARE(text("getIngressThreshold"), QStringLiteral("{\"period\":20,\"size\":10}"));
        QCOMPARE(integer("setEgressAlarmStatus", {1}), -1);
        QCOMPARE(integer("getEgressAlarmStatus"), 0);
        QVERIFY(running_->service().log().contains("Failed to write setting"));

        QVERIFY(QFile::remove(statePath(QStringLiteral("filler"))));
        QVERIFY(run(QStringLiteral("mount"),
                    {QStringLiteral("-o"), QStringLiteral("remount,ro"), stateDir()}));
        QCOMPARE(integer("setNetmonitorStatus", {1}), -1);
        QCOMPARE(integer("getNetmonitorStatus"), 0);
        QCOMPARE(text("getReportData"), kEmptyReport);
    }

    void corruptAndTruncatedDatabase()
    {
        QByteArray garbage;
        for (int i = 0; i < 64 * 1024; ++i) {
            garbage.append(static_cast<char>((i * 7919) % 251));
        }
        writeStateFile(kDatabase, garbage);
        QCOMPARE(text("getReportData"), kEmptyReport);
        QCOMPARE(running_->client().text(QStringLiteral("getRecentData"), {30}),
                 QStringLiteral("[]"));
        QCOMPARE(addAppTraffic("app", 1, 1), 1);

        QFile::remove(statePath(kDatabase));
        seedHours(300);
        QFile database(statePath(kDatabase));
        QVERIFY(database.resize(database.size() / 2));
        const QString report = text("getReportData");
        QVERIFY2(QJsonDocument::fromJson(report.toUtf8()).isObject(), qPrintable(report.left(200)));
        QCOMPARE(saveHourData("2020-01-01 00:00", HourRecord{60, 1, 1, 1, 1, 1}), 1);
    }

    void databaseLockedLongerThanTheBusyTimeout()
    {
        seedHours(48);
        sqlite3 *holder = nullptr;
        QCOMPARE(sqlite3_open(qPrintable(statePath(kDatabase)), &holder), SQLITE_OK);
        QCOMPARE(sqlite3_exec(holder, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(text("getReportData"), kEmptyReport);
        QCOMPARE(running_->client().text(QStringLiteral("getRecentTop10"), {7}),
                 QStringLiteral("[]"));
        QVERIFY2(timer.elapsed() < 10000, "a locked database must not hang the service");

        QCOMPARE(sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(holder);
        // Nothing was marked while the lock was held: every hour comes now.
        QCOMPARE(handedOutHours(text("getReportData")), 48);
        QCOMPARE(handedOutHours(text("getReportData")), 0);
    }

    void hostileSnapshotPaths()
    {
        const QString app = statePath(QStringLiteral("app_info"));
        QVERIFY(::mkfifo(qPrintable(app), 0644) == 0);
        QCOMPARE(text("getAllAppNetflow"), QStringLiteral("[]"));
        QFile::remove(app);
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), app));
        QCOMPARE(text("getAllAppNetflow"), QStringLiteral("[]"));
        QFile::remove(app);
        QVERIFY(QDir(stateDir()).mkdir(QStringLiteral("app_info")));
        QCOMPARE(text("getAllAppNetflow"), QStringLiteral("[]"));
        QVERIFY(QDir(stateDir()).rmdir(QStringLiteral("app_info")));
        writeStateFile(QStringLiteral("app_info"), QByteArray("[1,\0]", 5));
        QCOMPARE(text("getAllAppNetflow"), QStringLiteral("[]"));

        // The largest snapshot served still travels in one reply; one byte more does not.
        const int limit = 16 * 1024 * 1024;
        QByteArray largest(limit, ' ');
        largest[0] = '[';
        largest[limit - 1] = ']';
        writeStateFile(QStringLiteral("process_info"), largest);
        QCOMPARE(text("getAllProcessNetflow").size(), limit);
        writeStateFile(QStringLiteral("process_info"), largest + ' ');
        QCOMPARE(text("getAllProcessNetflow"), QStringLiteral("[]"));
    }
};

QTEST_GUILESS_MAIN(FaultMatrixTest)
#include "fault_matrix_test.moc"
