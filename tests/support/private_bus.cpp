#include "private_bus.h"

#include "service_process.h"

#include <QDeadlineTimer>

namespace testsupport {

PrivateBus::PrivateBus(QString configFile)
    : configFile_(configFile.isEmpty() ? QStringLiteral(VEXMORA_TEST_BUS_CONFIG)
                                       : std::move(configFile))
{}

PrivateBus::~PrivateBus()
{
    stop();
}

bool PrivateBus::start()
{
    process_.setProgram(QStringLiteral("dbus-daemon"));
    process_.setArguments({QStringLiteral("--config-file=") + configFile_,
                           QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    process_.start();
    if (!process_.waitForStarted(10000)) {
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!process_.canReadLine() && !deadline.hasExpired() &&
           process_.state() == QProcess::Running) {
        process_.waitForReadyRead(100);
    }
    address_ = QString::fromUtf8(process_.readLine().trimmed());
    return !address_.isEmpty();
}

void PrivateBus::stop()
{
    for (const QString &name : qAsConst(connectionNames_)) {
        QDBusConnection::disconnectFromBus(name);
    }
    connectionNames_.clear();
    stopProcess(process_);
}

void PrivateBus::kill()
{
    process_.kill();
    process_.waitForFinished(5000);
}

QDBusConnection PrivateBus::connect(const QString &connectionName)
{
    connectionNames_.append(connectionName);
    return QDBusConnection::connectToBus(address_, connectionName);
}

QString PrivateBus::state()
{
    return describeProcessState(process_);
}

QByteArray PrivateBus::log()
{
    return process_.readAllStandardError();
}

} // namespace testsupport
