// The installed bus policy, proven by calls: a private bus with the default
// policy of Debian's system bus plus the installed policy (packaging/bus-policy.conf.in),
// the real vexmorad as root, and an independent client (python3-dbus) run as
// root, as a member of the administrators' group and as nobody.
#include "private_bus.h"
#include "service_process.h"
#include "state_dir.h"
#include "vexmora_bus_names.h"

#include <QFile>
#include <QProcess>
#include <QtTest>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr char kAdminGroup[] = VEXMORA_ADMIN_GROUP;
constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";

enum class Caller { Root, Admin, Nobody };

struct Identity
{
    uid_t uid = 0;
    gid_t gid = 0;
    QString groups; // supplementary groups as the client reports them, or empty
};

} // namespace

Q_DECLARE_METATYPE(Caller)

class PolicyMatrixTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceProcess> service_;
    QByteArray callerScript_;
    uid_t nobodyUid_ = 0;
    gid_t nogroupGid_ = 0;
    gid_t adminGid_ = 0;
    bool createdAdminGroup_ = false;

    // Runs bus_caller.py as the caller and returns its output lines.
    QStringList runCaller(Caller caller, const QString &mode)
    {
        QProcess process;
        process.setWorkingDirectory(QStringLiteral("/"));
        const QStringList python{QStringLiteral("/usr/bin/python3"),
                                 QStringLiteral("-"),
                                 bus_->address(),
                                 mode,
                                 QString::fromLatin1(vexmora::bus::kServiceName),
                                 QString::fromLatin1(vexmora::bus::kObjectPath),
                                 QString::fromLatin1(vexmora::bus::kInterface)};
        QStringList setpriv{QStringLiteral("--reuid=") + QString::number(nobodyUid_),
                            QStringLiteral("--regid=") + QString::number(nogroupGid_)};
        switch (caller) {
        case Caller::Root:
            process.setProgram(python.constFirst());
            process.setArguments(python.mid(1));
            break;
        case Caller::Admin:
            setpriv << QStringLiteral("--groups=") + QString::number(adminGid_);
            process.setProgram(QStringLiteral("setpriv"));
            process.setArguments(setpriv + python);
            break;
        case Caller::Nobody:
            setpriv << QStringLiteral("--clear-groups");
            process.setProgram(QStringLiteral("setpriv"));
            process.setArguments(setpriv + python);
            break;
        }
        process.start();
        if (!process.waitForStarted(10000)) {
            return {QStringLiteral("caller did not start: ") + process.errorString()};
        }
        process.write(callerScript_);
        process.closeWriteChannel();
        process.waitForFinished(60000);
        const QString output = QString::fromUtf8(process.readAllStandardOutput());
        const QString errors = QString::fromUtf8(process.readAllStandardError());
        QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (process.exitCode() != 0 || !errors.isEmpty()) {
            lines << QStringLiteral("caller failed (exit %1): %2")
                         .arg(process.exitCode())
                         .arg(errors);
        }
        return lines;
    }

    Identity expectedIdentity(Caller caller) const
    {
        switch (caller) {
        case Caller::Root:
            return {0, 0, QString()};
        case Caller::Admin:
            return {nobodyUid_, nogroupGid_, QString::number(adminGid_)};
        case Caller::Nobody:
            return {nobodyUid_, nogroupGid_, QString()};
        }
        return {};
    }

    // "<call> <answer>" for every row of policy-matrix.txt, the answer from
    // the given column (1: root and vexmora-admin, 2: everyone else).
    static QStringList expectedCalls(int column)
    {
        QFile table(QStringLiteral(VEXMORA_POLICY_MATRIX));
        if (!table.open(QIODevice::ReadOnly | QIODevice::Text)) {
            return {};
        }
        QStringList calls;
        for (const QString &line : QString::fromUtf8(table.readAll()).split(QLatin1Char('\n'))) {
            const QStringList fields = line.split(QLatin1Char('|'));
            if (line.startsWith(QLatin1Char('#')) || fields.size() != 3) {
                continue;
            }
            calls << fields[0].trimmed() + QLatin1Char(' ') + fields[column].trimmed();
        }
        return calls;
    }

    // Checks the identity line the client printed first and removes it.
    void checkIdentity(Caller caller, QStringList &lines)
    {
        QVERIFY2(!lines.isEmpty(), "the client printed nothing");
        const QStringList fields = lines.takeFirst().split(QLatin1Char(' '));
        QVERIFY2(fields.size() >= 3 && fields[0] == QLatin1String("identity"),
                 qPrintable(fields.join(QLatin1Char(' '))));
        const Identity expected = expectedIdentity(caller);
        QCOMPARE(fields[1].toUInt(), expected.uid);
        QCOMPARE(fields[2].toUInt(), expected.gid);
        if (caller != Caller::Root) {
            QCOMPARE(fields.value(3), expected.groups);
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (geteuid() != 0) {
            QSKIP("needs root: it starts callers under other users with setpriv");
        }
        const passwd *nobody = getpwnam("nobody");
        const group *nogroup = getgrnam("nogroup");
        QVERIFY(nobody != nullptr && nogroup != nullptr);
        nobodyUid_ = nobody->pw_uid;
        nogroupGid_ = nogroup->gr_gid;
        if (getgrnam(kAdminGroup) == nullptr) {
            QCOMPARE(
                QProcess::execute(QStringLiteral("groupadd"),
                                  {QStringLiteral("--system"), QString::fromLatin1(kAdminGroup)}),
                0);
            createdAdminGroup_ = true;
        }
        const group *admin = getgrnam(kAdminGroup);
        QVERIFY(admin != nullptr);
        adminGid_ = admin->gr_gid;

        QFile script(QStringLiteral(VEXMORA_BUS_CALLER));
        QVERIFY(script.open(QIODevice::ReadOnly));
        callerScript_ = script.readAll();
    }

    void cleanupTestCase()
    {
        if (createdAdminGroup_) {
            QProcess::execute(QStringLiteral("groupdel"), {QString::fromLatin1(kAdminGroup)});
        }
    }

    void init()
    {
        resetStateDir();
        bus_ = std::make_unique<PrivateBus>(QStringLiteral(VEXMORA_POLICY_BUS_CONFIG));
        QVERIFY2(bus_->start(), bus_->log().constData());
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            if (service_) {
                qInfo().noquote() << "vexmorad log:\n" << service_->log();
            }
            qInfo().noquote() << "dbus-daemon log:\n" << bus_->log();
        }
        service_.reset();
        bus_.reset();
    }

    void onlyRootMayClaimTheName_data()
    {
        QTest::addColumn<Caller>("caller");
        QTest::addColumn<QString>("expected");
        QTest::newRow("root") << Caller::Root << QStringLiteral("claim reply u 1");
        QTest::newRow("admin") << Caller::Admin
                               << QStringLiteral("claim error ") + QLatin1String(kAccessDenied);
        QTest::newRow("nobody") << Caller::Nobody
                                << QStringLiteral("claim error ") + QLatin1String(kAccessDenied);
    }

    // On a bus where nobody owns the name yet; 1 is DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER.
    void onlyRootMayClaimTheName()
    {
        QFETCH(Caller, caller);
        QFETCH(QString, expected);
        QStringList lines = runCaller(caller, QStringLiteral("claim"));
        checkIdentity(caller, lines);
        QCOMPARE(lines, QStringList{expected});
    }

    void everyMethodAnswersAsThePolicySays_data()
    {
        QTest::addColumn<Caller>("caller");
        QTest::addColumn<bool>("privileged");
        QTest::newRow("root") << Caller::Root << true;
        QTest::newRow("admin") << Caller::Admin << true;
        QTest::newRow("nobody") << Caller::Nobody << false;
    }

    // Each caller on a fresh service and state directory answers as
    // policy-matrix.txt says.
    void everyMethodAnswersAsThePolicySays()
    {
        QFETCH(Caller, caller);
        QFETCH(bool, privileged);
        service_ = std::make_unique<ServiceProcess>();
        QVERIFY2(service_->start(bus_->address(), bus_->connect(QStringLiteral("watcher"))),
                 service_->log().constData());

        const QStringList expected = expectedCalls(privileged ? 1 : 2);
        QVERIFY(!expected.isEmpty());
        QStringList lines = runCaller(caller, QStringLiteral("calls"));
        checkIdentity(caller, lines);
        QCOMPARE(lines, expected);

        QVERIFY(service_->isRunning());
    }
};

QTEST_GUILESS_MAIN(PolicyMatrixTest)
#include "policy_matrix_test.moc"
