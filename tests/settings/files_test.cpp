// Snapshot readers and the log writer against the scratch state directory.
#include "netflow_settings.h"
#include "state_dir.h"

#include <QRegularExpression>
#include <QTextCodec>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kAppInfo = QStringLiteral("app_info");
const QString kEmpty = QStringLiteral("[]");

void expectRefusal(const char *reason)
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("app_info not served: ") +
                                                        QString::fromLatin1(reason)));
}

} // namespace

class FilesTest : public QObject
{
    Q_OBJECT

    NetflowSettings settings;

private Q_SLOTS:
    void init() { resetStateDir(); }

    void snapshotTextPassesThroughUnchanged()
    {
        QTest::ignoreMessage(QtDebugMsg, "Failed to open file");
        QCOMPARE(settings.readProcessInfo(), kEmpty);

        writeStateFile(kAppInfo, "");
        QCOMPARE(settings.readAppInfo(), QString());
        writeStateFile(kAppInfo, "[{\"pid\":1}]\n");
        QCOMPARE(settings.readAppInfo(), QStringLiteral("[{\"pid\":1}]\n"));
        writeStateFile(QStringLiteral("process_info"), "{not json");
        QCOMPARE(settings.readProcessInfo(), QStringLiteral("{not json"));
        // A link to a regular file is served like the file itself.
        writeStateFile(QStringLiteral("real"), "[1]");
        QFile::remove(statePath(kAppInfo));
        QVERIFY(QFile::link(statePath(QStringLiteral("real")), statePath(kAppInfo)));
        QCOMPARE(settings.readAppInfo(), QStringLiteral("[1]"));
    }

    void snapshotIsUtf8WhateverTheLocale()
    {
        QTextCodec *previous = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        writeStateFile(kAppInfo, "\xef\xbb\xbf[\"n\xc3\xa4t\xe7\xbd\x91\"]\r\n");
        const QString text = settings.readAppInfo();
        QTextCodec::setCodecForLocale(previous);
        // As a file read as text: byte-order mark and carriage returns dropped.
        QCOMPARE(text, QStringLiteral("[\"n\u00e4t\u7f51\"]\n"));
    }

    void snapshotsThatCannotTravelAreRefused()
    {
        QVERIFY(::mkfifo(qPrintable(statePath(kAppInfo)), 0644) == 0);
        expectRefusal("not a regular file");
        QCOMPARE(settings.readAppInfo(), kEmpty);

        QFile::remove(statePath(kAppInfo));
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), statePath(kAppInfo)));
        expectRefusal("not a regular file");
        QCOMPARE(settings.readAppInfo(), kEmpty);

        QFile::remove(statePath(kAppInfo));
        QVERIFY(QDir(stateDir()).mkdir(kAppInfo));
        expectRefusal("not a regular file");
        QCOMPARE(settings.readAppInfo(), kEmpty);
        QVERIFY(QDir(stateDir()).rmdir(kAppInfo));

        writeStateFile(kAppInfo, QByteArray("[\"a\0b\"]", 7));
        expectRefusal("holds a NUL byte");
        QCOMPARE(settings.readAppInfo(), kEmpty);

        QFile big(statePath(kAppInfo));
        QVERIFY(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(big.resize(17 * 1024 * 1024));
        big.close();
        expectRefusal("larger than the reply limit");
        QCOMPARE(settings.readAppInfo(), kEmpty);
    }

    // Each log case runs in a process of its own: the level is cached per process.
    void logWritesUpToTheLevelAndCachesIt()
    {
        writeStateFile(QStringLiteral("setting.conf"), "[Ostvane]\nLogLevel=3\n");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(
                                             "^log_msg:  \"\\[\\d\\d:\\d\\d:\\d\\d:\\d{3}\\]  "
                                             "count=7\"$")));
        QCOMPARE(settings.writeLog(3, "count=%d", 7), 1);
        QCOMPARE(settings.writeLog(4, "dropped"), 0);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("n\u00e4t\"$")));
        QCOMPARE(settings.writeLog(-2, "%s", "n\xc3\xa4t"), 1);

        writeStateFile(QStringLiteral("setting.conf"), "[Ostvane]\nLogLevel=5\n");
        QCOMPARE(settings.writeLog(4, "still dropped"), 0);

        const QStringList lines = QString::fromUtf8(readStateFile(QStringLiteral("netflow.log")))
                                      .split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d:\\d{3}\\]  count=7$"))
                    .match(lines.at(0))
                    .hasMatch());
        QVERIFY(lines.at(1).endsWith(QStringLiteral("]  n\u00e4t")));
        QCOMPARE(lines.at(2), QString());
    }

    void logWithoutLevelRereadsTheSetting()
    {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("first\"$")));
        QCOMPARE(settings.writeLog(0, "first"), 1);
        QCOMPARE(settings.writeLog(1, "dropped"), 0);
        writeStateFile(QStringLiteral("setting.conf"), "[Ostvane]\nLogLevel=1\n");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("second\"$")));
        QCOMPARE(settings.writeLog(1, "second"), 1);
        const QByteArray log = readStateFile(QStringLiteral("netflow.log"));
        QVERIFY(log.contains("]  first\n["));
        QVERIFY(log.endsWith("]  second\n"));
    }
};

QTEST_GUILESS_MAIN(FilesTest)
#include "files_test.moc"
