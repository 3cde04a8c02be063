// NetflowSettings against the scratch state directory: the switches and
// thresholds in the settings file, the snapshot files and the log.
#include "netflow_settings.h"
#include "state_dir.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTextCodec>
#include <climits>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

const QString kSettingsFile = QStringLiteral("setting.conf");
using Setter = int (NetflowSettings::*)(int);

class Settings : public testing::Test
{
protected:
    void SetUp() override { resetStateDir(); }
    static std::string stored() { return readStateFile(kSettingsFile).toStdString(); }
    static quint32 now() { return static_cast<quint32>(QDateTime::currentSecsSinceEpoch()); }

    NetflowSettings settings;
};

TEST_F(Settings, WithoutAFileEverythingIsZeroAndNothingNeedsWriting)
{
    EXPECT_EQ(settings.getCountStatus() + settings.getAlarmStatus() +
                  settings.getEgressAlarmStatus() + settings.getIngressAlarmStatus(),
              0);
    EXPECT_EQ(settings.getAlarmThreshold().toStdString(), R"({"period":0,"size":0})");
    EXPECT_EQ(settings.setCountStatus(0), 0);
    EXPECT_EQ(settings.setAlarmThreshold(0, 0), 0);
    EXPECT_FALSE(QFile::exists(statePath(kSettingsFile)));
}

TEST_F(Settings, ModesOtherThanZeroAndOneAreRefusedWithoutTouchingTheFile)
{
    writeStateFile(kSettingsFile, "[Ostvane]\nNETFLOW_ALARM_STATUS=1\n");
    for (Setter setter :
         {&NetflowSettings::setCountStatus, &NetflowSettings::setAlarmStatus,
          &NetflowSettings::setEgressAlarmStatus, &NetflowSettings::setIngressAlarmStatus}) {
        for (int mode : {2, -1, INT_MIN, INT_MAX}) {
            EXPECT_EQ((settings.*setter)(mode), -1) << mode;
        }
    }
    EXPECT_EQ(stored(), "[Ostvane]\nNETFLOW_ALARM_STATUS=1\n");
}

TEST_F(Settings, OnlyAnEffectiveChangeOfAnAlarmSwitchStampsTheAlarmTime)
{
    EXPECT_EQ(settings.setCountStatus(1), 0);
    EXPECT_EQ(stored(), "[Ostvane]\nNETFLOW_COUNT_STATUS=1\n");

    const std::pair<Setter, const char *> alarmSwitches[] = {
        {&NetflowSettings::setAlarmStatus, "NETFLOW_ALARM_STATUS"},
        {&NetflowSettings::setEgressAlarmStatus, "NETFLOW_EGRESS_ALARM_STATUS"},
        {&NetflowSettings::setIngressAlarmStatus, "NETFLOW_INGRESS_ALARM_STATUS"}};
    for (const auto &[setter, key] : alarmSwitches) {
        writeStateFile(kSettingsFile,
                       QByteArray("[Ostvane]\nNETFLOW_ALARM_TIMESTAMP=5\n") + key + "=1\n");
        EXPECT_EQ((settings.*setter)(1), 0);
        EXPECT_EQ(settings.getAlarmTimestamp(), 5u) << key;
        const quint32 before = now();
        EXPECT_EQ((settings.*setter)(0), 0);
        EXPECT_GE(settings.getAlarmTimestamp(), before) << key;
    }
}

TEST_F(Settings, OddStoredValuesAreReadAsTheyStandAndReplaced)
{
    writeStateFile(kSettingsFile,
                   "[Ostvane]\nNETFLOW_EGRESS_ALARM_STATUS=abc\nNETFLOW_INGRESS_ALARM_STATUS=7\n");
    EXPECT_EQ(settings.getEgressAlarmStatus(), 0);
    EXPECT_EQ(settings.getIngressAlarmStatus(), 7);
    EXPECT_EQ(settings.setIngressAlarmStatus(1), 0);
    EXPECT_EQ(settings.getIngressAlarmStatus(), 1);

    // Text that is not valid INI leaves no error behind for later writes.
    writeStateFile(kSettingsFile, "[Ostvane\nNETFLOW_ALARM_STATUS=1\n");
    EXPECT_EQ(settings.getAlarmStatus(), 1);
    EXPECT_EQ(settings.setCountStatus(1), 0);
    EXPECT_EQ(settings.getCountStatus(), 1);
}

TEST_F(Settings, ThresholdsShareOnePeriodAndCompareAsText)
{
    EXPECT_EQ(settings.setAlarmThreshold(100, 10), 0);
    EXPECT_EQ(settings.setIngressThreshold(50, 30), 0);
    EXPECT_EQ(settings.getAlarmThreshold().toStdString(), R"({"period":30,"size":100})");
    EXPECT_EQ(settings.getEgressThreshold().toStdString(), R"({"period":30,"size":0})");
    EXPECT_EQ(settings.setEgressThreshold(-1, 30), -1);
    EXPECT_EQ(settings.setEgressThreshold(100, INT_MIN), -1);
    EXPECT_EQ(settings.setEgressThreshold(INT_MAX, 0), 0);
    EXPECT_EQ(settings.getEgressThreshold().toStdString(), R"({"period":0,"size":2147483647})");

    // "0100" is another text than "100": rewritten and stamped; the same text is not.
    for (const char *size : {"0100", "100"}) {
        writeStateFile(kSettingsFile, QByteArray("[Ostvane]\nNETFLOW_ALARM_PERIOD=30\n"
                                                 "NETFLOW_ALARM_TIMESTAMP=5\nNETFLOW_ALARM_SIZE=") +
                                          size + "\n");
        EXPECT_EQ(settings.setAlarmThreshold(100, 30), 0);
        EXPECT_EQ(settings.getAlarmTimestamp() != 5u, size[0] == '0') << size;
        EXPECT_NE(stored().find("NETFLOW_ALARM_SIZE=100\n"), std::string::npos);
    }
}

TEST_F(Settings, SnapshotsAreTheFilesTextDecodedAsUtf8)
{
    EXPECT_EQ(settings.readAppInfo().toStdString(), "[]"); // no file
    writeStateFile(QStringLiteral("process_info"), "");
    EXPECT_EQ(settings.readProcessInfo().toStdString(), "");
    writeStateFile(QStringLiteral("process_info"), "{not json");
    EXPECT_EQ(settings.readProcessInfo().toStdString(), "{not json");

    // As a file read as text: byte-order mark and carriage returns dropped.
    QTextCodec *previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    writeStateFile(QStringLiteral("app_info"), "\xef\xbb\xbf[\"n\xc3\xa4t\xe7\xbd\x91\"]\r\n");
    EXPECT_EQ(settings.readAppInfo(), QStringLiteral("[\"n\u00e4t\u7f51\"]\n"));
    QTextCodec::setCodecForLocale(previous);
}

TEST_F(Settings, TheLogTakesMessagesUpToItsLevelWhichIsReadOnceWhenSet)
{
    EXPECT_EQ(settings.writeLog(0, "first"), 1); // no level: 0, read again every time
    EXPECT_EQ(settings.writeLog(1, "dropped"), 0);
    writeStateFile(kSettingsFile, "[Ostvane]\nLogLevel=3\n");
    EXPECT_EQ(settings.writeLog(3, "count=%d", 7), 1);
    EXPECT_EQ(settings.writeLog(4, "dropped"), 0);
    writeStateFile(kSettingsFile, "[Ostvane]\nLogLevel=5\n");
    EXPECT_EQ(settings.writeLog(4, "still dropped"), 0);
    EXPECT_EQ(settings.writeLog(-2, "%s", "n\xc3\xa4t"), 1);

    const QRegularExpression lines(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d:\\d{3}\\]  first\n"
                                                  "\\[[0-9:]{12}\\]  count=7\n"
                                                  "\\[[0-9:]{12}\\]  n\u00e4t\n$"));
    const QString log = QString::fromUtf8(readStateFile(QStringLiteral("netflow.log")));
    EXPECT_TRUE(lines.match(log).hasMatch()) << log.toStdString();
}

} // namespace
