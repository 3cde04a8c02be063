#include "private_service.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

namespace bench {
namespace {

constexpr int kStartTimeoutMs = 20000;

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

std::string processState(QProcess &process)
{
    if (!process.waitForFinished(200) && process.state() == QProcess::Running) {
        return "running";
    }
    return process.exitStatus() == QProcess::CrashExit
               ? "killed by signal " + std::to_string(process.exitCode())
               : "exited with code " + std::to_string(process.exitCode());
}

PrivateBus::~PrivateBus()
{
    stopProcess(process_);
}

bool PrivateBus::start()
{
    process_.setProgram(QStringLiteral("dbus-daemon"));
    process_.setArguments({QStringLiteral("--config-file=" VEXMORA_BENCH_BUS_CONFIG),
                           QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start();
    if (!process_.waitForStarted(kStartTimeoutMs)) {
        return false;
    }
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!process_.canReadLine() && !deadline.hasExpired() &&
           process_.state() == QProcess::Running) {
        process_.waitForReadyRead(100);
    }
    address_ = QString::fromUtf8(process_.readLine().trimmed());
    return !address_.isEmpty();
}

ServiceUnderTest::~ServiceUnderTest()
{
    stopProcess(process_);
}

bool ServiceUnderTest::start(const QString &busAddress, QDBusConnection &watcher,
                             const QString &logFile)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    process_.setProcessEnvironment(environment);
    process_.setStandardOutputFile(logFile);
    process_.setStandardErrorFile(logFile, QIODevice::Append);
    process_.start(QStringLiteral(VEXMORAD_PATH), QStringList());
    if (!process_.waitForStarted(kStartTimeoutMs)) {
        return false;
    }
    return waitForService(watcher, kStartTimeoutMs) && isRunning();
}

bool waitForService(QDBusConnection &connection, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    const QString name = QString::fromLatin1(kServiceName);
    while (!deadline.hasExpired()) {
        if (connection.interface()->isServiceRegistered(name)) {
            return true;
        }
        QThread::msleep(10);
    }
    return false;
}

Resident residentKiB(qint64 pid)
{
    Resident resident;
    const std::pair<const char *, qint64 *> fields[] = {{"VmRSS:", &resident.total},
                                                        {"RssAnon:", &resident.anonymous},
                                                        {"RssFile:", &resident.fileBacked},
                                                        {"Pss:", &resident.proportional}};
    for (const char *file : {"status", "smaps_rollup"}) {
        QFile status(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            for (const auto &[name, value] : fields) {
                if (line.startsWith(name)) {
                    *value = line.mid(static_cast<int>(qstrlen(name)))
                                 .simplified()
                                 .split(' ')
                                 .constFirst()
                                 .toLongLong();
                }
            }
        }
    }
    return resident;
}

} // namespace bench
