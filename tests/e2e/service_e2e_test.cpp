// The real vexmorad on a private bus, called as a client would: its interface
// as the bus shows it, every method reaching its operation with its arguments,
// the reports byte for byte as the store prints them, and how it starts and ends.
#include "service_test.h"
#include "store_test_support.h"
#include "traffic_reports.h"
#include "traffic_store.h"

#include <QDBusMessage>
#include <QDateTime>
#include <QFile>
#include <QThread>
#include <climits>

using namespace testsupport;
using namespace vexmora::store;
using storetest::printed;

namespace {

// Every key holds a value of its own, so that a method reaching another key shows.
const QByteArray kSettings =
    "[Ostvane]\nNETFLOW_COUNT_STATUS=2\nNETFLOW_ALARM_STATUS=3\nNETFLOW_EGRESS_ALARM_STATUS=4\n"
    "NETFLOW_INGRESS_ALARM_STATUS=5\nNETFLOW_ALARM_SIZE=11\nNETFLOW_EGRESS_ALARM_SIZE=22\n"
    "NETFLOW_INGRESS_ALARM_SIZE=33\nNETFLOW_ALARM_PERIOD=6\n";
const QByteArray kApps = "[{\"app\":\"n\xc3\xa4t\",\"up\":1}]\n";

class ServiceE2e : public ServiceTest
{
protected:
    void prepareState() override
    {
        writeStateFile(QStringLiteral("setting.conf"), kSettings);
        writeStateFile(QStringLiteral("app_info"), kApps);
        writeStateFile(QStringLiteral("process_info"), "not json");
        // The test and the service read the clock a moment apart; keep both in one hour.
        const qint64 second = QDateTime::currentSecsSinceEpoch() % 3600;
        if (second >= 3595) {
            QThread::sleep(static_cast<unsigned long>(3601 - second));
        }
    }
    std::string text(const char *method, const QVariantList &arguments = {})
    {
        return answer(method, arguments).toString().toStdString();
    }
};

TEST_F(ServiceE2e, IntrospectionShowsTheInterfaceAsWritten)
{
    QFile fragment(QStringLiteral(VEXMORA_TEST_DATA_DIR "/introspection_fragment.txt"));
    ASSERT_TRUE(fragment.open(QIODevice::ReadOnly));
    const QDBusMessage reply =
        call(QStringLiteral("Introspect"), {}, "org.freedesktop.DBus.Introspectable");
    const QString xml = reply.arguments().value(0).toString();
    EXPECT_TRUE(xml.contains(QString::fromUtf8(fragment.readAll()))) << xml.toStdString();
    // Introspect, Ping, GetMachineId, Get, Set and GetAll come from the bus library.
    EXPECT_EQ(xml.count(QStringLiteral("<method ")), 19 + 6);
    EXPECT_EQ(xml.count(QStringLiteral("<interface ")), 4);
}

TEST_F(ServiceE2e, GettersAnswerFromTheirOwnKeysAndFiles)
{
    const std::pair<const char *, QVariant> cases[] = {
        {"getNetmonitorStatus", 2},
        {"getNetmonitorAlarmStatus", 3},
        {"getEgressAlarmStatus", 4},
        {"getIngressAlarmStatus", 5},
        {"getNetmonitorThreshold", QStringLiteral(R"({"period":6,"size":11})")},
        {"getEgressThreshold", QStringLiteral(R"({"period":6,"size":22})")},
        {"getIngressThreshold", QStringLiteral(R"({"period":6,"size":33})")},
        {"getAllAppNetflow", QString::fromUtf8(kApps)},
        {"getAllProcessNetflow", QStringLiteral("not json")},
    };
    for (const auto &[method, expected] : cases) {
        EXPECT_EQ(answer(method), expected) << method;
    }
}

TEST_F(ServiceE2e, SettersTakeTheirArgumentsAndRefuseTheEdges)
{
    const std::pair<const char *, const char *> switches[] = {
        {"setNetmonitorStatus", "getNetmonitorStatus"},
        {"setNetmonitorAlarmStatus", "getNetmonitorAlarmStatus"},
        {"setEgressAlarmStatus", "getEgressAlarmStatus"},
        {"setIngressAlarmStatus", "getIngressAlarmStatus"}};
    for (const auto &[setter, getter] : switches) {
        for (int mode : {INT_MIN, -1, 2, INT_MAX, 0, 1}) {
            const bool valid = mode == 0 || mode == 1;
            EXPECT_EQ(answer(setter, {mode}), QVariant(valid ? 0 : -1)) << setter << mode;
            if (valid) {
                EXPECT_EQ(answer(getter), QVariant(mode)) << getter;
            }
        }
    }
    const std::pair<const char *, const char *> thresholds[] = {
        {"setNetmonitorThreshold", "getNetmonitorThreshold"},
        {"setEgressThreshold", "getEgressThreshold"},
        {"setIngressThreshold", "getIngressThreshold"}};
    for (const auto &[setter, getter] : thresholds) {
        for (const auto &[size, period] : {std::pair{INT_MIN, 0}, {0, INT_MIN}, {-1, 1}, {1, -1}}) {
            EXPECT_EQ(answer(setter, {size, period}), QVariant(-1)) << setter << size << period;
        }
        EXPECT_EQ(answer(setter, {INT_MAX, 0}), QVariant(0)) << setter;
        EXPECT_EQ(text(getter), R"({"period":0,"size":2147483647})");
        EXPECT_EQ(answer(setter, {7, INT_MAX}), QVariant(0)) << setter;
        EXPECT_EQ(text(getter), R"({"period":2147483647,"size":7})");
    }
}

TEST_F(ServiceE2e, ReportsAreTheBytesTheStorePrints)
{
    // Today's UTC rows are yesterday's local ones a day ahead of UTC (see CMakeLists.txt).
    ASSERT_EQ(addAppTraffic("com.例子.浏览器", 3LL << 30, 1LL << 29), 0);
    ASSERT_EQ(addAppTraffic("café.é", 7340032, 123456789), 0);
    for (int hours : {0, 1, 2, 25, 24 * 40}) {
        ASSERT_EQ(
            saveHourData(hourTextBefore(hours), HourRecord{60, 1LL << hours % 40, 5, 1, 2, 3}), 0);
    }
    for (int days : {INT_MIN, -1, 0, 1, 7, 30, INT_MAX}) {
        EXPECT_EQ(text("getRecentTop10", {days}), printed(queryRecentTop10(days))) << days;
        EXPECT_EQ(text("getRecentData", {days}), printed(queryRecentData(days))) << days;
    }
    const std::string hours = printed(queryPendingHours(0));
    const std::string top10 = R"(,"top10":{"7day":)" + printed(queryRecentTop10(7)) +
                              R"(,"30day":)" + printed(queryRecentTop10(30)) + "}}";
    ASSERT_NE(hours, "[]");
    ASSERT_NE(top10.find("café.é"), std::string::npos);
    EXPECT_EQ(text("getReportData"), R"({"hour":)" + hours + top10);
    EXPECT_EQ(text("getReportData"), R"({"hour":[])" + top10);
}

TEST_F(ServiceE2e, WrongSignaturesGetTheBusErrorAndTheServiceServesOn)
{
    const std::pair<const char *, QVariantList> calls[] = {
        {"getRecentTop10", {QStringLiteral("7")}},
        {"getRecentData", {}},
        {"getNetmonitorStatus", {1}},
        {"setNetmonitorThreshold", {1}},
        {"setEgressAlarmStatus", {qint64(1)}},
        {"noSuchMethod", {}}};
    for (const auto &[method, arguments] : calls) {
        EXPECT_EQ(call(QString::fromLatin1(method), arguments).errorName(),
                  QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"))
            << method;
    }
    EXPECT_EQ(answer("getNetmonitorStatus"), QVariant(2));
}

TEST_F(ServiceE2e, ASecondInstanceExitsWithOneAndTheFirstServesOn)
{
    ServiceProcess second;
    second.launch(bus_.address());
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 1);
    const QByteArray plainly = "Failed to register service: another instance of vexmorad already "
                               "runs: the bus name " +
                               QByteArray(vexmora::bus::kServiceName) + " is owned by pid " +
                               QByteArray::number(service_.pid()) + ", :";
    EXPECT_TRUE(second.log().contains(plainly)) << second.log().constData();
    EXPECT_TRUE(second.log().contains("stop that one first (systemctl stop vexmora where its unit"))
        << second.log().constData();
    EXPECT_EQ(answer("getNetmonitorStatus"), QVariant(2));
}

TEST_F(ServiceE2e, WithoutItsBusTheServiceExitsWithOne)
{
    // Replies first: the sanitized build's leak check then covers their path on the way out.
    EXPECT_NE(text("getReportData"), "");
    EXPECT_NE(text("getRecentTop10", {30}), "");
    EXPECT_NE(text("getRecentData", {7}), "");
    bus_.kill();
    ASSERT_TRUE(service_.waitForExit());
    EXPECT_EQ(service_.exitCode(), 1);
    EXPECT_TRUE(service_.log().contains("Lost the connection to the system bus"));

    ServiceProcess orphan;
    orphan.launch(bus_.address());
    ASSERT_TRUE(orphan.waitForExit());
    EXPECT_EQ(orphan.exitCode(), 1);
}

} // namespace
