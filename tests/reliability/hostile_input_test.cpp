// Every method with every edge integer for each argument, and with wrong
// signatures: the replies stay those of the interface, and the service lives.
#include "running_service.h"
#include "state_dir.h"
#include "traffic_reports.h"
#include "traffic_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>
#include <climits>
#include <functional>
#include <memory>

using namespace vexmora::store;

using namespace testsupport;

namespace {

const QList<int> kEdgeIntegers = {INT_MIN, -1, 0, 1, 2, 7, INT_MAX};

struct Method
{
    const char *name;
    int integerArguments;
    // Checks the reply of one call with the given arguments; empty when right.
    std::function<QString(const QVariantList &, const QVariant &)> check;
};

QString expectInteger(const QVariant &reply, int expected)
{
    if (reply.userType() != QMetaType::Int || reply.toInt() != expected) {
        return QStringLiteral("expected ") + QString::number(expected) + QStringLiteral(", got ") +
               reply.toString();
    }
    return QString();
}

QString expectJson(const QVariant &reply, bool array)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(reply.toString().toUtf8(), &error);
    if (reply.userType() != QMetaType::QString || error.error != QJsonParseError::NoError ||
        document.isArray() != array) {
        return QStringLiteral("not the expected JSON: ") + reply.toString();
    }
    return QString();
}

QString switchSetter(const QVariantList &arguments, const QVariant &reply)
{
    const int mode = arguments.at(0).toInt();
    return expectInteger(reply, mode == 0 || mode == 1 ? 0 : -1);
}

QString thresholdSetter(const QVariantList &arguments, const QVariant &reply)
{
    const bool valid = arguments.at(0).toInt() >= 0 && arguments.at(1).toInt() >= 0;
    return expectInteger(reply, valid ? 0 : -1);
}

QString switchGetter(const QVariantList &, const QVariant &reply)
{
    const bool isSwitch =
        reply.userType() == QMetaType::Int && (reply.toInt() == 0 || reply.toInt() == 1);
    return isSwitch ? QString() : QStringLiteral("not a switch value: ") + reply.toString();
}

QString jsonObject(const QVariantList &, const QVariant &reply)
{
    return expectJson(reply, false);
}

QString jsonArray(const QVariantList &, const QVariant &reply)
{
    return expectJson(reply, true);
}

QString recentTop10(const QVariantList &arguments, const QVariant &reply)
{
    if (arguments.at(0).toInt() <= 0 && reply.toString() != QStringLiteral("[]")) {
        return QStringLiteral("no window, yet: ") + reply.toString();
    }
    return expectJson(reply, true);
}

const QList<Method> kMethods = {
    {"setNetmonitorStatus", 1, switchSetter},
    {"getNetmonitorStatus", 0, switchGetter},
    {"setNetmonitorAlarmStatus", 1, switchSetter},
    {"getNetmonitorAlarmStatus", 0, switchGetter},
    {"setNetmonitorThreshold", 2, thresholdSetter},
    {"getNetmonitorThreshold", 0, jsonObject},
    {"setEgressAlarmStatus", 1, switchSetter},
    {"getEgressAlarmStatus", 0, switchGetter},
    {"setEgressThreshold", 2, thresholdSetter},
    {"getEgressThreshold", 0, jsonObject},
    {"setIngressAlarmStatus", 1, switchSetter},
    {"getIngressAlarmStatus", 0, switchGetter},
    {"setIngressThreshold", 2, thresholdSetter},
    {"getIngressThreshold", 0, jsonObject},
    {"getAllAppNetflow", 0, jsonArray},
    {"getAllProcessNetflow", 0, jsonArray},
    {"getRecentTop10", 1, recentTop10},
    {"getRecentData", 1, jsonArray},
    {"getReportData", 0, jsonObject},
};

QList<QVariantList> argumentCombinations(int count)
{
    QList<QVariantList> combinations = {{}};
    for (int i = 0; i < count; ++i) {
        QList<QVariantList> longer;
        for (const QVariantList &prefix : qAsConst(combinations)) {
            for (int value : kEdgeIntegers) {
                longer.append(prefix + QVariantList{value});
            }
        }
        combinations = longer;
    }
    return combinations;
}

void seedDatabase()
{
    addAppTraffic("n\xc3\xa4t", 1LL << 40, 7);
    addAppTraffic("browser", 0, 0);
    const HourRecord hour{0, INT64_MAX, INT64_MIN, INT_MAX, INT_MIN, -1};
    saveHourData(hourTextBefore(1), hour);
    saveHourData(hourTextBefore(30), hour);
}

} // namespace

class HostileInputTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<RunningService> running_;

private Q_SLOTS:
    void init()
    {
        resetStateDir();
        seedDatabase();
        writeStateFile(QStringLiteral("app_info"), "[{\"app\":\"x\"}]");
        writeStateFile(QStringLiteral("process_info"), "[]");
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

    void everyMethodWithEveryEdgeInteger()
    {
        int calls = 0;
        for (const Method &method : kMethods) {
            for (const QVariantList &arguments : argumentCombinations(method.integerArguments)) {
                const QDBusMessage reply =
                    running_->client().call(QString::fromLatin1(method.name), arguments);
                QVERIFY2(reply.type() == QDBusMessage::ReplyMessage,
                         qPrintable(QString::fromLatin1(method.name) + QLatin1Char(' ') +
                                    reply.errorMessage()));
                const QString fault = method.check(arguments, reply.arguments().value(0));
                QVERIFY2(fault.isEmpty(), qPrintable(QString::fromLatin1(method.name) +
                                                     QStringLiteral(": ") + fault));
                ++calls;
            }
        }
        QCOMPARE(calls, 10 + 6 * 7 + 3 * 49); // methods without, with one and with two arguments
        QVERIFY(running_->service().isRunning());
    }

    void wrongSignaturesGetTheStandardError()
    {
        const QString unknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
        for (const Method &method : kMethods) {
            const QString name = QString::fromLatin1(method.name);
            QVariantList tooMany;
            QVariantList strings;
            for (int i = 0; i <= method.integerArguments; ++i) {
                tooMany.append(1);
                strings.append(QStringLiteral("1"));
            }
            QCOMPARE(running_->client().call(name, tooMany).errorName(), unknownMethod);
            QCOMPARE(running_->client().call(name, strings).errorName(), unknownMethod);
            if (method.integerArguments > 0) {
                QCOMPARE(running_->client().call(name).errorName(), unknownMethod);
                QCOMPARE(running_->client().call(name, {qint64(1)}).errorName(), unknownMethod);
            }
        }
        QCOMPARE(running_->client().call(QStringLiteral("noSuchMethod")).errorName(),
                 unknownMethod);
        QVERIFY(running_->service().isRunning());
        const QDBusMessage ping = running_->client().call(
            QStringLiteral("Ping"), {}, QStringLiteral("org.freedesktop.DBus.Peer"));
        QCOMPARE(ping.type(), QDBusMessage::ReplyMessage);
    }
};

QTEST_GUILESS_MAIN(HostileInputTest)
#include "hostile_input_test.moc"
