// The three report methods over the bus: what the real vexmorad answers for a
// database seeded through the store's write interface and SQLite directly.
#include "running_service.h"
#include "state_dir.h"
#include "traffic_reports.h"
#include "traffic_store.h"
#include "vexmora_paths.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>
#include <cjson/cJSON.h>
#include <memory>
#include <sqlite3.h>

using namespace vexmora::store;

using namespace testsupport;

namespace {

const QString kEmptyReport = QStringLiteral("{\"hour\":[],\"top10\":{\"7day\":[],\"30day\":[]}}");

// "yyyy-MM-dd HH:00" of the local hour that many hours before the current one.
QByteArray localHour(int hoursAgo)
{
    return QDateTime::currentDateTime()
        .addSecs(-3600LL * hoursAgo)
        .toString(QStringLiteral("yyyy-MM-dd HH:00"))
        .toUtf8();
}

QByteArray localDate(int daysAgo)
{
    return QDate::currentDate().addDays(-daysAgo).toString(Qt::ISODate).toUtf8();
}

// Hours whose peaks carry a tag, so that a handed-out entry names the write
// it came from.
bool saveTaggedHour(const QByteArray &hour, int tag)
{
    const HourRecord record{60, 1048576LL * tag, 2097152LL * tag, tag, tag + 1, 2 * tag + 1};
    return saveHourData(hour.constData(), record) == 0;
}

// Adds a row of a past day, which the store's writer (always today, UTC)
// cannot produce.
bool insertAppRow(const QByteArray &pkgname, const QByteArray &date, qint64 recv, qint64 sent)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *statement = nullptr;
    bool done = sqlite3_open(vexmora::paths::kDatabaseFile, &db) == SQLITE_OK &&
                createAppDataTable(db) == 0 &&
                sqlite3_prepare_v2(db,
                                   "INSERT INTO app_data (pkgname, recv, sent, total, time) "
                                   "VALUES (?, ?, ?, ?, ?);",
                                   -1, &statement, nullptr) == SQLITE_OK;
    if (done) {
        sqlite3_bind_text(statement, 1, pkgname.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(statement, 2, recv);
        sqlite3_bind_int64(statement, 3, sent);
        sqlite3_bind_int64(statement, 4, recv + sent);
        sqlite3_bind_text(statement, 5, date.constData(), -1, SQLITE_TRANSIENT);
        done = sqlite3_step(statement) == SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return done;
}

QByteArray printedByStore(cJSON *array)
{
    char *text = cJSON_PrintUnformatted(array);
    const QByteArray result(text != nullptr ? text : "<not printed>");
    cJSON_free(text);
    cJSON_Delete(array);
    return result;
}

QJsonArray handedOutHours(const QString &report)
{
    return QJsonDocument::fromJson(report.toUtf8())
        .object()
        .value(QStringLiteral("hour"))
        .toArray();
}

QStringList timesOf(const QJsonArray &hours)
{
    QStringList times;
    for (const QJsonValue &hour : hours) {
        times << hour.toObject().value(QStringLiteral("time")).toString();
    }
    return times;
}

} // namespace

class ReportE2eTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<RunningService> running_;

    QString report() { return running_->client().text(QStringLiteral("getReportData")); }
    QString recent(const char *method, int days)
    {
        return running_->client().text(QString::fromLatin1(method), {days});
    }

    // Applications of the last days, among them names beyond ASCII.
    void seedApplications()
    {
        QVERIFY(insertAppRow("com.例子.浏览器", localDate(1), 3LL << 30, 1LL << 29));
        QVERIFY(insertAppRow("com.例子.浏览器", localDate(5), 1LL << 30, 0));
        QVERIFY(insertAppRow("café.é", localDate(2), 7340032, 123456789));
        QVERIFY(insertAppRow("org.month.old", localDate(20), 5LL << 30, 5LL << 30));
        QVERIFY(insertAppRow("org.year.old", localDate(400), 9LL << 30, 0));
    }

private Q_SLOTS:
    void init()
    {
        resetStateDir();
        // The service and the expectations read the clock a moment apart;
        // keep both within one hour.
        const QTime now = QTime::currentTime();
        if (now.minute() == 59 && now.second() >= 55) {
            QThread::sleep(static_cast<unsigned long>(61 - now.second()));
        }
        running_ = std::make_unique<RunningService>();
        QVERIFY2(running_->start(), running_->startError().constData());
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            running_->dumpLogs();
        }
        running_.reset();
    }

    void withoutADatabaseEveryReportIsEmpty()
    {
        QCOMPARE(report(), kEmptyReport);
        QCOMPARE(recent("getRecentTop10", 7), QStringLiteral("[]"));
        QCOMPARE(recent("getRecentData", 7), QStringLiteral("[]"));
        const QByteArray log = running_->service().log();
        QVERIFY2(log.contains("Failed to prepare statement: no such table: hour_data\n"),
                 log.constData());
        QVERIFY2(log.contains("Failed to prepare statement: no such table: app_data\n"),
                 log.constData());
    }

    void aSecondReportInTheSameHourHandsOutNoHours()
    {
        seedApplications();
        QVERIFY(saveTaggedHour(localHour(2), 2));
        QVERIFY(saveTaggedHour(localHour(1), 1));
        QVERIFY(saveTaggedHour(localHour(0), 100));

        const QString first = report();
        QCOMPARE(timesOf(handedOutHours(first)),
                 QStringList({QString::fromUtf8(localHour(2)), QString::fromUtf8(localHour(1))}));
        const QString second = report();
        QCOMPARE(handedOutHours(second).size(), 0);

        const QByteArray top10 = "\"top10\":{\"7day\":" + printedByStore(queryRecentTop10(7)) +
                                 ",\"30day\":" + printedByStore(queryRecentTop10(30)) + "}}";
        QVERIFY2(top10.contains("com.例子.浏览器") && top10.contains("org.month.old"),
                 top10.constData());
        QVERIFY2(first.toUtf8().endsWith(top10), qPrintable(first));
        QVERIFY2(second.toUtf8().endsWith(top10), qPrintable(second));
    }

    void anHourRewrittenAfterItWasHandedOutComesAgain()
    {
        const QByteArray hour = localHour(3);
        QVERIFY(saveTaggedHour(hour, 10));
        QVERIFY(saveTaggedHour(localHour(4), 20));
        QCOMPARE(handedOutHours(report()).size(), 2);

        QVERIFY(saveTaggedHour(hour, 11));
        const QJsonArray again = handedOutHours(report());
        QCOMPARE(again.size(), 1);
        const QJsonObject entry = again.at(0).toObject();
        QCOMPARE(entry.value(QStringLiteral("time")).toString(), QString::fromUtf8(hour));
        QCOMPARE(entry.value(QStringLiteral("pk_down")).toInt(), 11);
        QCOMPARE(entry.value(QStringLiteral("pk")).toInt(), 23);
        QCOMPARE(handedOutHours(report()).size(), 0);
    }

    void hoursOfAnyAgeComeInAscendingOrder()
    {
        // Written out of order, so that row ids do not follow time.
        const QList<int> hoursAgo = {30, 1, 24 * 400, 5, 24 * 3650, 24 * 3 + 7, 2};
        for (int hours : hoursAgo) {
            QVERIFY(saveTaggedHour(localHour(hours), hours));
        }
        QStringList expected;
        for (int hours : {24 * 3650, 24 * 400, 24 * 3 + 7, 30, 5, 2, 1}) {
            expected << QString::fromUtf8(localHour(hours));
        }
        QCOMPARE(timesOf(handedOutHours(report())), expected);
    }

    // The slots add nothing to what the store prints: one line, no trailing
    // line feed, the same bytes, names beyond ASCII intact.
    void recentRepliesAreWhatTheStorePrints()
    {
        seedApplications();
        for (int hours : {1, 2, 23, 24, 25, 24 * 6 + 3, 24 * 8, 24 * 40}) {
            QVERIFY(saveTaggedHour(localHour(hours), hours));
        }
        QVERIFY(handedOutHours(report()).size() > 0); // some rows now show status 1
        QVERIFY(saveTaggedHour(localHour(2), 7));

        for (int days : {-1, 0, 1, 2, 7, 30, 365}) {
            const QByteArray top10 = recent("getRecentTop10", days).toUtf8();
            QCOMPARE(top10, printedByStore(queryRecentTop10(days)));
            const QByteArray hours = recent("getRecentData", days).toUtf8();
            QCOMPARE(hours, printedByStore(queryRecentData(days)));
            QVERIFY(!top10.contains('\n') && !hours.contains('\n'));
        }
        const QJsonArray week =
            QJsonDocument::fromJson(recent("getRecentTop10", 7).toUtf8()).array();
        QStringList apps;
        for (const QJsonValue &entry : week) {
            apps << entry.toObject().value(QStringLiteral("app")).toString();
        }
        QCOMPARE(apps, QStringList({QStringLiteral("com.例子.浏览器"), QStringLiteral("café.é")}));
    }
};

QTEST_GUILESS_MAIN(ReportE2eTest)
#include "report_e2e_test.moc"
