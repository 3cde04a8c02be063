// vexmora-store against the scratch database: what each command leaves in
// netflow.db, and that refused arguments leave it as it was.
#include "state_dir.h"
#include "tool_runner.h"

#include <QDateTime>
#include <QDir>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;

namespace {

QString databasePath()
{
    return statePath(QStringLiteral("netflow.db"));
}

bool isUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// printf rebuilds the exact bytes in the shell, one octal escape each.
QString shellWord(const QByteArray &argument)
{
    QString escapes;
    for (const char byte : argument) {
        escapes += QLatin1Char('\\') + QString::number(uchar(byte), 8);
    }
    return QStringLiteral(" \"$(printf '") + escapes + QStringLiteral("')\"");
}

ToolRun store(const QList<QByteArray> &arguments)
{
    QStringList texts;
    QString command = QStringLiteral("exec '" VEXMORA_STORE_PATH "'");
    bool allUtf8 = true;
    for (const QByteArray &argument : arguments) {
        texts.append(QString::fromUtf8(argument));
        command += shellWord(argument);
        allUtf8 = allUtf8 && isUtf8(argument);
    }
    // QProcess passes arguments as text, which cannot carry bytes that are no UTF-8.
    return allUtf8 ? runTool(QStringLiteral(VEXMORA_STORE_PATH), texts)
                   : runTool(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
}

// Every row of the query, its columns joined with '|'.
QStringList rows(const char *sql)
{
    QStringList result;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(databasePath().toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return {QStringLiteral("<cannot open>")};
    }
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        result.append(QStringLiteral("<error> ") + QString::fromUtf8(sqlite3_errmsg(db)));
    }
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        QStringList columns;
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
            columns.append(QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(statement, column))));
        }
        result.append(columns.join(QLatin1Char('|')));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return result;
}

void execute(const char *sql)
{
    rows(sql);
}

QByteArray currentHourText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:00")).toUtf8();
}

} // namespace

class ToolsStoreTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { resetStateDir(); }

    void addAppAccumulatesTodaysRow()
    {
        ToolRun run = store({"add-app", "n\xc3\xa4t", "100", "200"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
        QVERIFY(store({"add-app", "n\xc3\xa4t", "5", "7"}).exitCode == 0);
        QVERIFY(store({"add-app", "big", "9223372036854775807", "0"}).exitCode == 0);
        QCOMPARE(rows("SELECT pkgname, recv, sent, total, time = date('now') FROM app_data "
                      "ORDER BY pkgname"),
                 QStringList({QStringLiteral("big|9223372036854775807|0|9223372036854775807|1"),
                              QStringLiteral("n\u00e4t|105|207|312|1")}));
        QCOMPARE(rows("SELECT count(*) FROM sqlite_master WHERE name = 'hour_data'"),
                 QStringList{QStringLiteral("0")});
    }

    void saveHourReplacesTheRowAndLoadHourPrintsIt()
    {
        const QByteArray hour = "2024-05-01 13:00";
        QCOMPARE(store({"save-hour", hour, "60", "1", "2", "3", "4", "5"}).exitCode, 0);
        execute("UPDATE hour_data SET report_status = 1");
        ToolRun run =
            store({"save-hour", hour, "30", "9223372036854775807", "20", "30", "40", "2147483647"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
        QCOMPARE(rows("SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, "
                      "report_status FROM hour_data"),
                 QStringList{QStringLiteral(
                     "2024-05-01 13:00|30|9223372036854775807|20|30|40|2147483647|0")});

        run = store({"load-hour", hour});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray("hour 2024-05-01 13:00\nmins 30\nrecv 9223372036854775807\n"
                                     "sent 20\nrecv_peak 30\nsent_peak 40\n"
                                     "total_peak 2147483647\n"));
        run = store({"load-hour", "2024-05-01 14:00"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray("no row for hour 2024-05-01 14:00\n"));
    }

    void purgeDeletesOldRows()
    {
        QCOMPARE(store({"add-app", "fresh", "1", "1"}).exitCode, 0);
        execute("INSERT INTO app_data (pkgname, recv, sent, total, time) "
                "VALUES ('stale', 1, 1, 2, '2000-01-01')");
        QCOMPARE(store({"save-hour", "2000-01-01 05:00", "60", "1", "1", "1", "1", "1"}).exitCode,
                 0);
        QCOMPARE(store({"save-hour", currentHourText(), "60", "1", "1", "1", "1", "1"}).exitCode,
                 0);

        QCOMPARE(store({"purge", "app_data", "1"}).exitCode, 0);
        QCOMPARE(rows("SELECT pkgname FROM app_data"), QStringList{QStringLiteral("fresh")});
        QCOMPARE(rows("SELECT count(*) FROM hour_data"), QStringList{QStringLiteral("2")});
        QCOMPARE(store({"purge", "hour_data", "1"}).exitCode, 0);
        QCOMPARE(rows("SELECT time FROM hour_data"),
                 QStringList{QString::fromUtf8(currentHourText())});
    }

    void refusedInputsLeaveTheDatabaseUntouched_data()
    {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::newRow("count too large")
            << QList<QByteArray>{"add-app", "pkg", "9223372036854775808", "1"};
        QTest::newRow("negative count") << QList<QByteArray>{"add-app", "pkg", "1", "-1"};
        QTest::newRow("count with a unit") << QList<QByteArray>{"add-app", "pkg", "1k", "1"};
        QTest::newRow("package not UTF-8") << QList<QByteArray>{"add-app", "p\xff", "1", "1"};
        QTest::newRow("no such day")
            << QList<QByteArray>{"save-hour", "2023-02-29 10:00", "60", "1", "1", "1", "1", "1"};
        QTest::newRow("minutes in the hour")
            << QList<QByteArray>{"save-hour", "2024-05-01 10:30", "60", "1", "1", "1", "1", "1"};
        QTest::newRow("peak beyond 32 bits") << QList<QByteArray>{
            "save-hour", "2024-05-01 10:00", "60", "1", "1", "4294967296", "1", "1"};
        QTest::newRow("too many minutes")
            << QList<QByteArray>{"save-hour", "2024-05-01 10:00", "61", "1", "1", "1", "1", "1"};
        QTest::newRow("quote in the hour") << QList<QByteArray>{"load-hour", "2024-05-01 10:00'"};
        QTest::newRow("unknown table") << QList<QByteArray>{"purge", "sqlite_master", "1"};
        QTest::newRow("negative days") << QList<QByteArray>{"purge", "app_data", "-1"};
        QTest::newRow("missing argument") << QList<QByteArray>{"add-app", "pkg", "1"};
    }

    void refusedInputsLeaveTheDatabaseUntouched()
    {
        QFETCH(QList<QByteArray>, arguments);
        ToolRun refused = store(arguments);
        QCOMPARE(refused.exitCode, 2);
        QVERIFY(!QFile::exists(databasePath()));

        QCOMPARE(store({"add-app", "pkg", "1", "2"}).exitCode, 0);
        QCOMPARE(store({"save-hour", "2024-05-01 10:00", "60", "1", "1", "1", "1", "1"}).exitCode,
                 0);
        const QByteArray before = readStateFile(QStringLiteral("netflow.db"));
        refused = store(arguments);
        QVERIFY2(refused.exitCode == 2, qPrintable(refused.describe()));
        QVERIFY2(refused.err.startsWith("vexmora-store: ") && refused.err.contains("Usage:"),
                 refused.err.constData());
        QVERIFY(refused.out.isEmpty());
        QCOMPARE(readStateFile(QStringLiteral("netflow.db")), before);
    }

    void storeFailuresExitWithOne()
    {
        // The store reports a lookup in a database without the table as failed.
        ToolRun run = store({"load-hour", "2024-05-01 10:00"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("no such table"), run.err.constData());

        QFile::remove(databasePath());
        QVERIFY(QDir(stateDir()).mkdir(QStringLiteral("netflow.db")));
        run = store({"add-app", "pkg", "1", "1"});
        QVERIFY2(run.exitCode == 1, qPrintable(run.describe()));
        QCOMPARE(store({"save-hour", "2024-05-01 10:00", "60", "1", "1", "1", "1", "1"}).exitCode,
                 1);
    }
};

QTEST_GUILESS_MAIN(ToolsStoreTest)
#include "tools_store_test.moc"
