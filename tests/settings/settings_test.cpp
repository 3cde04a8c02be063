// NetflowSettings against the scratch state directory: switches, thresholds
// and failed writes.
#include "netflow_settings.h"
#include "state_dir.h"

#include <QDateTime>
#include <QProcess>
#include <QtTest>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kSettings = QStringLiteral("setting.conf");

QByteArray settingsBytes()
{
    return readStateFile(kSettings);
}

quint32 storedTimestamp()
{
    const QByteArray marker = "NETFLOW_ALARM_TIMESTAMP=";
    const QByteArray bytes = settingsBytes();
    const int start = bytes.indexOf(marker);
    if (start < 0) {
        return 0;
    }
    const int end = bytes.indexOf('\n', start);
    return bytes.mid(start + marker.size(), end - start - marker.size()).toUInt();
}

bool run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

    NetflowSettings settings;

private Q_SLOTS:
    void init() { resetStateDir(); }

    void withoutAFileEverythingReadsZero()
    {
        QCOMPARE(settings.getCountStatus(), 0);
        QCOMPARE(settings.getAlarmStatus(), 0);
        QCOMPARE(settings.getEgressAlarmStatus(), 0);
        QCOMPARE(settings.getIngressAlarmStatus(), 0);
        QCOMPARE(settings.getAlarmThreshold(), QStringLiteral("{\"period\":0,\"size\":0}"));
        QCOMPARE(settings.setCountStatus(0), 0);
        QCOMPARE(settings.setAlarmThreshold(0, 0), 0);
        QVERIFY(!QFile::exists(statePath(kSettings)));
    }

    void badModesAreRefusedWithoutTouchingTheFile()
    {
        writeStateFile(kSettings, "[Ostvane]\nNETFLOW_ALARM_STATUS=1\n");
        for (int mode : {2, -1, 7, INT_MIN, INT_MAX}) {
            QCOMPARE(settings.setCountStatus(mode), -1);
            QCOMPARE(settings.setAlarmStatus(mode), -1);
            QCOMPARE(settings.setEgressAlarmStatus(mode), -1);
            QCOMPARE(settings.setIngressAlarmStatus(mode), -1);
        }
        QCOMPARE(settingsBytes(), QByteArray("[Ostvane]\nNETFLOW_ALARM_STATUS=1\n"));
    }

    void countSwitchNeverStampsTheAlarmTime()
    {
        QCOMPARE(settings.setCountStatus(1), 0);
        QCOMPARE(settings.getCountStatus(), 1);
        QCOMPARE(settingsBytes(), QByteArray("[Ostvane]\nNETFLOW_COUNT_STATUS=1\n"));
    }

    void alarmSwitchesStampOnlyEffectiveChanges()
    {
        const quint32 before = static_cast<quint32>(QDateTime::currentSecsSinceEpoch());
        QCOMPARE(settings.setAlarmStatus(1), 0);
        QCOMPARE(settings.getAlarmStatus(), 1);
        const quint32 stamped = storedTimestamp();
        QVERIFY(stamped >= before && stamped <= before + 5);

        // Put a marker in place of the time: an unchanged switch keeps it.
        writeStateFile(kSettings, "[Ostvane]\nNETFLOW_ALARM_STATUS=1\nNETFLOW_ALARM_TIMESTAMP=5\n");
        QCOMPARE(settings.setAlarmStatus(1), 0);
        QCOMPARE(storedTimestamp(), 5u);
        QCOMPARE(settings.setAlarmStatus(0), 0);
        QVERIFY(storedTimestamp() >= before);

        for (auto setter :
             {&NetflowSettings::setEgressAlarmStatus, &NetflowSettings::setIngressAlarmStatus}) {
            writeStateFile(kSettings, "[Ostvane]\nNETFLOW_ALARM_TIMESTAMP=5\n");
            QCOMPARE((settings.*setter)(1), 0);
            QVERIFY(storedTimestamp() >= before);
        }
    }

    void storedOddValuesAreReadAndReplaced()
    {
        writeStateFile(kSettings, "[Ostvane]\nNETFLOW_EGRESS_ALARM_STATUS=abc\n"
                                  "NETFLOW_INGRESS_ALARM_STATUS=7\n");
        QCOMPARE(settings.getEgressAlarmStatus(), 0);
        QCOMPARE(settings.setEgressAlarmStatus(0), 0);
        QVERIFY(settingsBytes().contains("NETFLOW_EGRESS_ALARM_STATUS=abc\n"));
        QCOMPARE(settings.getIngressAlarmStatus(), 7);
        QCOMPARE(settings.setIngressAlarmStatus(1), 0);
        QCOMPARE(settings.getIngressAlarmStatus(), 1);

        // Text that is not valid INI leaves no error behind for later writes.
        writeStateFile(kSettings, "[Ostvane\nNETFLOW_ALARM_STATUS=1\n");
        QCOMPARE(settings.getAlarmStatus(), 1);
        QCOMPARE(settings.setCountStatus(1), 0);
        QCOMPARE(settings.getCountStatus(), 1);
    }

    void thresholdsShareThePeriodAndCompareAsText()
    {
        QCOMPARE(settings.setAlarmThreshold(100, 10), 0);
        QCOMPARE(settings.getAlarmThreshold(), QStringLiteral("{\"period\":10,\"size\":100}"));
        QCOMPARE(settings.getEgressThreshold(), QStringLiteral("{\"period\":10,\"size\":0}"));
        QCOMPARE(settings.setIngressThreshold(50, 30), 0);
        QCOMPARE(settings.getAlarmThreshold(), QStringLiteral("{\"period\":30,\"size\":100}"));

        writeStateFile(kSettings, "[Ostvane]\nNETFLOW_ALARM_SIZE=0100\nNETFLOW_ALARM_PERIOD=30\n"
                                  "NETFLOW_ALARM_TIMESTAMP=5\n");
        QCOMPARE(settings.getAlarmThreshold(), QStringLiteral("{\"period\":30,\"size\":100}"));
        QCOMPARE(settings.setAlarmThreshold(100, 30), 0);
        QVERIFY(settingsBytes().contains("NETFLOW_ALARM_SIZE=100\n"));
        QVERIFY(storedTimestamp() != 5u);

        writeStateFile(kSettings, "[Ostvane]\nNETFLOW_ALARM_SIZE=100\nNETFLOW_ALARM_PERIOD=30\n"
                                  "NETFLOW_ALARM_TIMESTAMP=5\n");
        QCOMPARE(settings.setAlarmThreshold(100, 30), 0);
        QCOMPARE(storedTimestamp(), 5u);
        QCOMPARE(settings.setAlarmThreshold(-1, 30), -1);
        QCOMPARE(settings.setAlarmThreshold(100, INT_MIN), -1);
        QCOMPARE(storedTimestamp(), 5u);
        QCOMPARE(settings.setEgressThreshold(INT_MAX, 0), 0);
        QCOMPARE(settings.getEgressThreshold(),
                 QStringLiteral("{\"period\":0,\"size\":2147483647}"));
    }

    // Run in a mount namespace of its own (see CMakeLists.txt): a tmpfs over
    // the state directory that is filled up, then made read-only.
    void failedWritesAreNotSuccess()
    {
        if (::geteuid() != 0) {
            QSKIP("needs root to mount a small tmpfs over the state directory");
        }
        QVERIFY(run(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=16k"), QStringLiteral("tmpfs"), stateDir()}));
        QCOMPARE(settings.setAlarmStatus(1), 0);
        const QByteArray stored = settingsBytes();
        QFile filler(statePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'x')) > 0 && filler.flush()) {
        }
        filler.close();

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("NETFLOW_ALARM_STATUS.*written")));
        QCOMPARE(settings.setAlarmStatus(0), -1);
        QCOMPARE(settings.getAlarmStatus(), 1); // what the file holds, not the lost change
        QCOMPARE(settingsBytes(), stored);

        QFile::remove(statePath(QStringLiteral("filler")));
        QCOMPARE(settings.setAlarmStatus(0), 0); // with room again, the write goes through
        QVERIFY(run(QStringLiteral("mount"),
                    {QStringLiteral("-o"), QStringLiteral("remount,ro"), stateDir()}));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("NETFLOW_ALARM_SIZE")));
        QCOMPARE(settings.setAlarmThreshold(10, 10), -1);
        QCOMPARE(settings.getAlarmThreshold(), QStringLiteral("{\"period\":0,\"size\":0}"));
        QCOMPARE(settings.setCountStatus(0), 0); // nothing to write, nothing fails
        QVERIFY(run(QStringLiteral("umount"), {stateDir()}));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "settings_test.moc"
