// The tools' parts that need no bus and no database: argument checking,
// usage, number and hour texts, tables, the chart and the report views.
#include "ctl_arguments.h"
#include "hour_chart.h"
#include "number_text.h"
#include "report_views.h"
#include "store_arguments.h"
#include "text_table.h"

#include <QtTest>

using namespace vexmora;

namespace {

ctl::ParseResult parse(const QString &line)
{
    return ctl::parseArguments(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
}

storecli::StoreParseResult parseStore(const QList<QByteArray> &arguments)
{
    return storecli::parseStoreArguments(arguments);
}

QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class ToolsUnitTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void goodArgumentsAreRead()
    {
        // A negative size is the service's to refuse, not a usage error.
        const ctl::ParseResult negative = parse(QStringLiteral("threshold ingress -1 10"));
        QVERIFY2(negative.error.isEmpty(), qPrintable(negative.error));
        QCOMPARE(negative.request.size, -1);
        QCOMPARE(parse(QStringLiteral("top")).request.days, 7);
        QCOMPARE(parse(QStringLiteral("hours")).request.days, 1);
        const ctl::ParseResult json = parse(QStringLiteral("--json top 30"));
        QVERIFY(json.error.isEmpty());
        QCOMPARE(json.request.command, ctl::Command::Top);
        QCOMPARE(json.request.days, 30);
        QVERIFY(json.request.json);
    }

    void badArgumentsAreUsageErrors_data()
    {
        QTest::addColumn<QString>("line");
        for (const char *line :
             {"", "frobnicate", "set count maybe", "set volume on", "set count", "set count 1",
              "threshold overall 10", "threshold daily 1 2", "threshold overall 1x 2",
              "threshold overall 2147483648 1", "threshold overall 1 -2147483649", "top -1",
              "top 1 2", "hours abc", "status extra", "status --bogus", "set count on --json",
              "top --consume", "help nope"}) {
            QTest::newRow(*line != '\0' ? line : "(nothing)") << QString::fromLatin1(line);
        }
    }

    void badArgumentsAreUsageErrors()
    {
        QFETCH(QString, line);
        QVERIFY(!parse(line).error.isEmpty());
    }

    void helpForEveryCommand()
    {
        const QString overview = ctl::usageText(QString());
        for (const char *name : {"status", "set", "threshold", "top", "hours", "apps", "processes",
                                 "report", "help"}) {
            const QString command = QString::fromLatin1(name);
            const ctl::ParseResult asked = parse(QStringLiteral("help ") + command);
            QCOMPARE(asked.request.command, ctl::Command::Help);
            QCOMPARE(asked.request.target, command);
            QCOMPARE(parse(command + QStringLiteral(" --help")).request.target, command);
            const QString usage = ctl::usageText(command);
            QVERIFY2(usage.startsWith(QStringLiteral("Usage: vexmoractl ") + command), name);
            QVERIFY(usage != overview);
            QVERIFY2(overview.contains(command), name);
        }
        QVERIFY(overview.contains(QStringLiteral("Exit status")));
    }

    void numbersAndHourTexts()
    {
        qint64 value = 0;
        QString problem;
        QVERIFY(tools::parseBoundedInteger(QStringLiteral("9223372036854775807"), 0,
                                           std::numeric_limits<qint64>::max(), value, problem));
        QCOMPARE(value, std::numeric_limits<qint64>::max());
        QVERIFY(!tools::parseBoundedInteger(QStringLiteral("9223372036854775808"), 0,
                                            std::numeric_limits<qint64>::max(), value, problem));
        QVERIFY2(problem.contains(QStringLiteral("at most")), qPrintable(problem));
        QVERIFY(!tools::parseBoundedInteger(QStringLiteral("-99999999999999999999"), 0, 10, value,
                                            problem));
        QVERIFY2(problem.contains(QStringLiteral("at least")), qPrintable(problem));
        for (const char *text : {"", " 4", "4 ", "+4", "4.0", "0x10", "1e3", "-"}) {
            QVERIFY2(
                !tools::parseBoundedInteger(QString::fromLatin1(text), -100, 100, value, problem),
                text);
        }

        QVERIFY(tools::isHourText(QStringLiteral("2024-02-29 23:00"), problem));
        for (const char *text :
             {"2023-02-29 13:00", "2024-13-01 00:00", "2024-01-01 24:00", "2024-01-01 13:30",
              "2024-01-01 13:00:00", "2024-1-01 13:00", "2024-01-01T13:00", "0000-01-01 00:00"}) {
            QVERIFY2(!tools::isHourText(QString::fromLatin1(text), problem), text);
        }
    }

    void storeArguments()
    {
        const storecli::StoreParseResult add =
            parseStore({"add-app", "n\xc3\xa4t", "9223372036854775807", "0"});
        QVERIFY2(add.error.isEmpty(), qPrintable(add.error));
        QCOMPARE(add.request.operation, storecli::Operation::AddApp);
        QCOMPARE(add.request.text, QByteArray("n\xc3\xa4t"));
        QCOMPARE(add.request.recv, std::numeric_limits<qint64>::max());

        const storecli::StoreParseResult save =
            parseStore({"save-hour", "2024-05-01 13:00", "60", "5", "6", "7", "8", "2147483647"});
        QVERIFY2(save.error.isEmpty(), qPrintable(save.error));
        const store::HourRecord &record = save.request.record;
        QCOMPARE(record.mins, 60);
        QCOMPARE(record.recv, int64_t(5));
        QCOMPARE(record.sent, int64_t(6));
        QCOMPARE(record.recv_peak, 7);
        QCOMPARE(record.sent_peak, 8);
        QCOMPARE(record.total_peak, 2147483647);

        const QList<QList<QByteArray>> refused = {
            {"add-app", "n\xc3", "1", "1"},
            {"add-app", "", "1", "1"},
            {"add-app", "pkg", "-1", "1"},
            {"save-hour", "2024-05-01 13:00", "61", "1", "1", "1", "1", "1"},
            {"save-hour", "2024-05-01 13:00", "60", "1", "1", "1", "1", "2147483648"},
            {"save-hour", "2024-05-01 13:00", "60", "1", "1", "1", "1"},
            {"load-hour", "2024-05-01"},
            {"purge", "sqlite_master", "1"},
            {"purge", "app_data", "-1"},
            {"drop", "app_data"},
            {"add-app", "--force", "pkg", "1", "1"},
        };
        for (const QList<QByteArray> &arguments : refused) {
            QVERIFY2(!parseStore(arguments).error.isEmpty(), arguments.join(' ').constData());
        }
        QCOMPARE(parseStore({"purge", "--help"}).request.operation, storecli::Operation::Help);
        QVERIFY(storecli::storeUsageText(QStringLiteral("purge")).contains(QStringLiteral("DAYS")));
    }

    void tableAlignsColumns()
    {
        tools::TextTable table;
        table.addColumn(QStringLiteral("name"));
        table.addColumn(QStringLiteral("n"), tools::TextTable::Align::Right);
        table.addColumn(QStringLiteral("note"));
        table.addRow({QStringLiteral("a"), QStringLiteral("1000")});
        table.addRow({QStringLiteral("longer"), QStringLiteral("2"), QStringLiteral("x"),
                      QStringLiteral("dropped")});
        QCOMPARE(table.render(), QStringLiteral("name       n  note\n"
                                                "------  ----  ----\n"
                                                "a       1000\n"
                                                "longer     2  x\n"));
    }

    void chartFitsTheWidth()
    {
        const QVector<ctl::HourBar> bars = {{QStringLiteral("2024-05-01 13:00"), 2.0, 1.0},
                                            {QStringLiteral("2024-05-01 14:00"), 0.5, 0.01}};
        const QStringList chart = lines(ctl::renderHourChart(bars, 60));
        QCOMPARE(chart.size(), 1 + 2 * bars.size());
        for (const QString &line : chart.mid(1)) {
            QVERIFY2(line.size() == 60, qPrintable(line));
        }
        // 16 label + 6 direction + 1 + 4 value columns leave 33 for the bar.
        QCOMPARE(chart[1].count(QLatin1Char('#')), 33);
        QCOMPARE(chart[2].count(QLatin1Char('=')), 17);
        QCOMPARE(chart[3].count(QLatin1Char('#')), 8);
        QVERIFY(chart[2].endsWith(QStringLiteral(" 1.00")));
        // Too narrow a terminal still gets bars of a few columns.
        QCOMPARE(lines(ctl::renderHourChart(bars, 10))[1].count(QLatin1Char('#')), 8);
        QVERIFY(ctl::renderHourChart({}, 80).isEmpty());
    }

    void snapshotViews()
    {
        const QString table = ctl::formatSnapshot(
            QStringLiteral("[{\"up_rate\":2048,\"pid\":12,\"name\":\"sshd\",\"up\":1572864},"
                           "{\"name\":\"x\",\"tags\":[1,2],\"up\":1000}]\n"));
        QCOMPARE(table, QStringLiteral("pid  name       up    up_rate  tags\n"
                                       "---  ----  -------  ---------  -----\n"
                                       " 12  sshd  1.5 MiB  2.0 KiB/s\n"
                                       "     x      1000 B             [1,2]\n"));
        QCOMPARE(ctl::formatSnapshot(QStringLiteral("[]")),
                 QStringLiteral("The snapshot is empty.\n"));
        QCOMPARE(ctl::formatSnapshot(QStringLiteral("{\"a\":[1]}")),
                 QStringLiteral("{\n    \"a\": [\n        1\n    ]\n}\n"));
        QCOMPARE(ctl::formatSnapshot(QStringLiteral("not json")), QStringLiteral("not json\n"));
    }

    void reportViews()
    {
        const QString top = ctl::formatTop(QStringLiteral("[{\"app\":\"b\",\"up\":1.5,\"down\":"
                                                          "0.01,\"tot\":1.51}]"),
                                           7)
                                .value_or(QString());
        QVERIFY2(top.contains(QStringLiteral("1  b              1.50      0.01       1.51")),
                 qPrintable(top));
        QVERIFY(ctl::formatTop(QStringLiteral("[]"), 7)->startsWith(QStringLiteral("No ")));
        QVERIFY(!ctl::formatTop(QStringLiteral("oops"), 7));

        const QString hour = QStringLiteral(
            "{\"time\":\"2024-05-01 13:00\",\"up\":1,\"down\":2,\"tot\":3,\"avg_up\":4,"
            "\"avg_down\":5,\"avg\":9,\"pk_up\":6,\"pk_down\":7,\"pk\":8");
        const QString hours =
            ctl::formatHours(QLatin1Char('[') + hour + QStringLiteral(",\"status\":1}]"), 1, 80)
                .value_or(QString());
        QVERIFY2(hours.contains(QStringLiteral("2024-05-01 13:00  1.00  2.00   3.00       4        "
                                               " 5        6          7     8  yes")),
                 qPrintable(hours));
        QVERIFY(hours.contains(QStringLiteral("a full bar is 2.00 GiB")));

        const QString report = ctl::formatReport(QStringLiteral("{\"hour\":[") + hour +
                                                 QStringLiteral("}],\"top10\":{\"7day\":[],"
                                                                "\"30day\":[{\"app\":\"z\",\"up\":"
                                                                "1,\"down\":1,\"tot\":2}]}}"))
                                   .value_or(QString());
        QVERIFY2(report.contains(QStringLiteral("now marked reported: 1\n")), qPrintable(report));
        QVERIFY(!report.contains(QStringLiteral("reported\n----")));
        QVERIFY(report.contains(QStringLiteral("over 7 days before today:\nnone\n")));
        QVERIFY(report.contains(QStringLiteral("1  z")));
        QVERIFY(!ctl::formatReport(QStringLiteral("[]")));

        const QString counting = *ctl::formatHours(
            QStringLiteral("[]"), 0, 80,
            ctl::hourEntryFromMeter(QStringLiteral(R"({"time":"2026-01-01 10:00","mins":2,)"
                                                   R"("recv":1073741824,"sent":0,"recv_peak":9,)"
                                                   R"("sent_peak":0,"total_peak":9})")));
        QVERIFY2(counting.contains(QStringLiteral("2026-01-01 10:00  0.01  1.00   1.01       0     "
                                                  " 8738        0          9     9  counting")),
                 qPrintable(counting));
        QVERIFY(ctl::hourEntryFromMeter(QStringLiteral("{}")).isEmpty());

        ctl::ServiceStatus status;
        status.alarm = 1;
        status.egress = 7;
        status.overallThreshold = QStringLiteral("{\"period\":30,\"size\":100}");
        status.egressThreshold = QStringLiteral("garbled");
        const QString shown = ctl::formatStatus(status);
        QVERIFY2(shown.contains(QStringLiteral("alarm    on                100          30\n")),
                 qPrintable(shown));
        QVERIFY(shown.contains(QStringLiteral("egress   unknown (7)   garbled\n")));
        const QJsonObject json = QJsonDocument::fromJson(ctl::statusJson(status)).object();
        QCOMPARE(json.value(QStringLiteral("egress")).toInt(), 7);
        const QJsonObject thresholds = json.value(QStringLiteral("thresholds")).toObject();
        QCOMPARE(thresholds.value(QStringLiteral("overall"))[QStringLiteral("size")].toInt(), 100);
        QCOMPARE(thresholds.value(QStringLiteral("egress")).toString(), QStringLiteral("garbled"));
    }
};

QTEST_GUILESS_MAIN(ToolsUnitTest)
#include "tools_unit_test.moc"
