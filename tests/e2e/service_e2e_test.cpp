// End-to-end: the real vexmorad on a private bus, called as a client would.
#include "running_service.h"
#include "state_dir.h"

#include <QDBusError>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <memory>
#include <sys/stat.h>

using namespace testsupport;

class ServiceE2eTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RunningService> running_;

    QString expectedFragment()
    {
        QFile file(QStringLiteral(VEXMORA_TEST_DATA_DIR "/introspection_fragment.txt"));
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    QString settingsText()
    {
        return QString::fromUtf8(readStateFile(QStringLiteral("setting.conf")));
    }

private Q_SLOTS:
    void init()
    {
        resetStateDir();
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

    void startWritesOneDebugLine()
    {
        QCOMPARE(running_->service().log(), QByteArray("DBus service registered successfully.\n"));
    }

    void introspectionServesTheInterfaceFragment()
    {
        const QDBusMessage reply =
            running_->client().call(QStringLiteral("Introspect"), {},
                                    QStringLiteral("org.freedesktop.DBus.Introspectable"));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const QString introspection = reply.arguments().constFirst().toString();
        QVERIFY2(introspection.contains(expectedFragment()), qPrintable(introspection));
        // Introspect, Ping, GetMachineId, Get, Set and GetAll come from the bus library.
        QCOMPARE(introspection.count(QStringLiteral("<method ")), 19 + 6);
        const QRegularExpression interfaces(QStringLiteral("<interface name=\"([^\"]+)\""));
        QStringList names;
        for (auto it = interfaces.globalMatch(introspection); it.hasNext();) {
            names << it.next().captured(1);
        }
        names.sort();
        QCOMPARE(names, QStringList({QString::fromLatin1(vexmora::bus::kInterface),
                                     QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                     QStringLiteral("org.freedesktop.DBus.Peer"),
                                     QStringLiteral("org.freedesktop.DBus.Properties")}));
    }

    void introspectionThroughBusctl()
    {
        QProcess busctl;
        busctl.start(QStringLiteral("busctl"),
                     {QStringLiteral("--address=") + running_->bus().address(),
                      QStringLiteral("--json=short"), QStringLiteral("call"),
                      QString::fromLatin1(vexmora::bus::kServiceName),
                      QString::fromLatin1(vexmora::bus::kObjectPath),
                      QStringLiteral("org.freedesktop.DBus.Introspectable"),
                      QStringLiteral("Introspect")});
        QVERIFY(busctl.waitForFinished(10000));
        QCOMPARE(busctl.exitCode(), 0);
        const QJsonObject reply = QJsonDocument::fromJson(busctl.readAllStandardOutput()).object();
        const QString introspection =
            reply.value(QStringLiteral("data")).toArray().at(0).toString();
        QVERIFY2(introspection.contains(expectedFragment()), qPrintable(introspection));
    }

    void switchesRoundTrip_data()
    {
        QTest::addColumn<QString>("setter");
        QTest::addColumn<QString>("getter");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("stampsAlarm");
        QTest::newRow("count") << "setNetmonitorStatus"
                               << "getNetmonitorStatus"
                               << "NETFLOW_COUNT_STATUS" << false;
        QTest::newRow("alarm") << "setNetmonitorAlarmStatus"
                               << "getNetmonitorAlarmStatus"
                               << "NETFLOW_ALARM_STATUS" << true;
        QTest::newRow("egress") << "setEgressAlarmStatus"
                                << "getEgressAlarmStatus"
                                << "NETFLOW_EGRESS_ALARM_STATUS" << true;
        QTest::newRow("ingress") << "setIngressAlarmStatus"
                                 << "getIngressAlarmStatus"
                                 << "NETFLOW_INGRESS_ALARM_STATUS" << true;
    }

    void switchesRoundTrip()
    {
        QFETCH(QString, setter);
        QFETCH(QString, getter);
        QFETCH(QString, key);
        QFETCH(bool, stampsAlarm);
        resetStateDir();
        QCOMPARE(running_->client().integer(getter), 0);
        QCOMPARE(running_->client().integer(setter, {2}), -1);
        QCOMPARE(running_->client().integer(setter, {-1}), -1);
        QVERIFY(!QFile::exists(statePath(QStringLiteral("setting.conf"))));
        QCOMPARE(running_->client().integer(setter, {1}), 0);
        QCOMPARE(running_->client().integer(getter), 1);
        QVERIFY(settingsText().contains(key + QStringLiteral("=1\n")));
        QCOMPARE(settingsText().contains(QStringLiteral("NETFLOW_ALARM_TIMESTAMP=")), stampsAlarm);
        QCOMPARE(running_->client().integer(setter, {0}), 0);
        QCOMPARE(running_->client().integer(getter), 0);
    }

    void thresholdsShareOnePeriod()
    {
        QCOMPARE(running_->client().text(QStringLiteral("getNetmonitorThreshold")),
                 QStringLiteral("{\"period\":0,\"size\":0}"));
        QCOMPARE(running_->client().integer(QStringLiteral("setNetmonitorThreshold"), {100, 10}),
                 0);
        QCOMPARE(running_->client().text(QStringLiteral("getNetmonitorThreshold")),
                 QStringLiteral("{\"period\":10,\"size\":100}"));
        QCOMPARE(running_->client().text(QStringLiteral("getEgressThreshold")),
                 QStringLiteral("{\"period\":10,\"size\":0}"));
        QCOMPARE(running_->client().integer(QStringLiteral("setEgressThreshold"), {50, 30}), 0);
        QCOMPARE(running_->client().text(QStringLiteral("getIngressThreshold")),
                 QStringLiteral("{\"period\":30,\"size\":0}"));
        QCOMPARE(running_->client().text(QStringLiteral("getNetmonitorThreshold")),
                 QStringLiteral("{\"period\":30,\"size\":100}"));
        QCOMPARE(running_->client().integer(QStringLiteral("setIngressThreshold"), {-1, 5}), -1);
        QCOMPARE(running_->client().integer(QStringLiteral("setIngressThreshold"), {5, -1}), -1);
        QCOMPARE(running_->client().integer(QStringLiteral("setIngressThreshold"), {2147483647, 0}),
                 0);
        QCOMPARE(running_->client().text(QStringLiteral("getIngressThreshold")),
                 QStringLiteral("{\"period\":0,\"size\":2147483647}"));
    }

    void snapshotsPassThrough()
    {
        const QByteArray apps = "[{\"app\":\"n\xc3\xa4t\",\"up\":1}]\n";
        writeStateFile(QStringLiteral("app_info"), apps);
        QCOMPARE(running_->client().text(QStringLiteral("getAllAppNetflow")),
                 QString::fromUtf8(apps));
        QCOMPARE(running_->client().text(QStringLiteral("getAllProcessNetflow")),
                 QStringLiteral("[]"));
        QVERIFY(running_->service().log().contains("Failed to open file"));
        writeStateFile(QStringLiteral("process_info"), "not json");
        QCOMPARE(running_->client().text(QStringLiteral("getAllProcessNetflow")),
                 QStringLiteral("not json"));
    }

    void fifoSnapshotDoesNotStallTheService()
    {
        QVERIFY(::mkfifo(qPrintable(statePath(QStringLiteral("app_info"))), 0644) == 0);
        QCOMPARE(running_->client().text(QStringLiteral("getAllAppNetflow")), QStringLiteral("[]"));
        QCOMPARE(running_->client().integer(QStringLiteral("getNetmonitorStatus")), 0);
    }

    void wrongSignatureIsRefusedByTheBusLayer()
    {
        const QDBusMessage text =
            running_->client().call(QStringLiteral("getRecentTop10"), {QStringLiteral("7")});
        QCOMPARE(text.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(text.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
        const QDBusMessage missing = running_->client().call(QStringLiteral("getRecentData"));
        QCOMPARE(missing.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
        const QDBusMessage extra =
            running_->client().call(QStringLiteral("getNetmonitorStatus"), {1});
        QCOMPARE(extra.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
        QVERIFY(running_->service().isRunning());
        QCOMPARE(running_->client().integer(QStringLiteral("setNetmonitorStatus"), {1}), 0);
    }

    void secondInstanceExitsAndFirstKeepsServing()
    {
        ServiceProcess second;
        second.launch(running_->bus().address());
        QVERIFY(second.waitForExit());
        QCOMPARE(second.exitCode(), 1);
        const QByteArray log = second.log();
        QVERIFY2(log.contains("Failed to register service: \"the name is already owned by :"),
                 log.constData());
        QVERIFY(running_->service().isRunning());
        QCOMPARE(running_->client().integer(QStringLiteral("setNetmonitorAlarmStatus"), {1}), 0);
        QCOMPARE(running_->client().integer(QStringLiteral("getNetmonitorAlarmStatus")), 1);
    }

    void withoutABusTheServiceExitsWithOne()
    {
        ServiceProcess orphan;
        orphan.launch(QStringLiteral("unix:path=") + stateDir() + QStringLiteral("/no-bus-here"));
        QVERIFY(orphan.waitForExit());
        QCOMPARE(orphan.exitCode(), 1);
        QVERIFY2(orphan.log().startsWith("Failed to register service: \""),
                 orphan.log().constData());
    }

    void losingTheBusEndsTheServiceWithOne()
    {
        running_->bus().kill();
        QVERIFY(running_->service().waitForExit());
        QCOMPARE(running_->service().exitCode(), 1);
        QVERIFY(running_->service().log().contains("Lost the connection to the system bus"));
    }
};

QTEST_GUILESS_MAIN(ServiceE2eTest)
#include "service_e2e_test.moc"
