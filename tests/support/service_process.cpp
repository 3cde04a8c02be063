#include "service_process.h"

#include "vexmora_bus_names.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QThread>

namespace testsupport {

ServiceProcess::ServiceProcess()
    : ServiceProcess(QStringLiteral(VEXMORAD_PATH), {},
                     QString::fromLatin1(vexmora::bus::kServiceName))
{}

ServiceProcess::ServiceProcess(QString program, QStringList arguments, QString busName)
    : program_(std::move(program)), arguments_(std::move(arguments)), busName_(std::move(busName))
{}

ServiceProcess::~ServiceProcess()
{
    stop();
}

void ServiceProcess::launch(const QString &busAddress)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    // Debug messages are part of what the tests read.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
    process_.setProcessEnvironment(environment);
    if (logFile_.isEmpty()) {
        process_.setProcessChannelMode(QProcess::MergedChannels);
    } else {
        process_.setStandardOutputFile(logFile_);
        process_.setStandardErrorFile(logFile_, QIODevice::Append);
    }
    process_.start(program_, arguments_);
    process_.waitForStarted(10000);
}

bool ServiceProcess::start(const QString &busAddress, QDBusConnection watcher)
{
    launch(busAddress);
    const QDeadlineTimer deadline(20000);
    while (isRunning() && !deadline.hasExpired()) {
        if (watcher.interface()->isServiceRegistered(busName_)) {
            return isRunning();
        }
        if (!process_.waitForReadyRead(20)) {
            QThread::msleep(1);
        }
    }
    return false;
}

bool ServiceProcess::waitForExit(int milliseconds)
{
    return process_.state() == QProcess::NotRunning || process_.waitForFinished(milliseconds);
}

bool ServiceProcess::isRunning() const
{
    return process_.state() == QProcess::Running;
}

int ServiceProcess::exitCode() const
{
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

qint64 ServiceProcess::pid() const
{
    return process_.processId();
}

void ServiceProcess::stop()
{
    stopProcess(process_);
}

QByteArray ServiceProcess::log()
{
    // Collects what is already in the pipe; returns at once when there is data.
    if (isRunning()) {
        process_.waitForReadyRead(50);
    }
    log_ += process_.readAll();
    return log_;
}

QString ServiceProcess::state()
{
    return describeProcessState(process_);
}

bool waitForName(QDBusConnection &connection, const QString &name, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        if (connection.interface()->isServiceRegistered(name)) {
            return true;
        }
        QThread::msleep(10);
    }
    return false;
}

QString describeProcessState(QProcess &process)
{
    if (!process.waitForFinished(200) && process.state() == QProcess::Running) {
        return QStringLiteral("running");
    }
    return process.exitStatus() == QProcess::CrashExit
               ? QStringLiteral("killed by signal %1").arg(process.exitCode())
               : QStringLiteral("exited with code %1").arg(process.exitCode());
}

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

} // namespace testsupport
