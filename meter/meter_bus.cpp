#include "meter_bus.h"

#include "meter_adaptor.h"
#include "vexmora_bus_names.h"

#include <QDBusError>
#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

namespace vexmora::meter {
namespace {

constexpr int kRetryMs = 5000;

} // namespace

MeterBus::MeterBus(QObject *parent) : QObject(parent)
{
    new MeterAdaptor(this);
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &MeterBus::tryToConnect);
}

MeterBus::~MeterBus()
{
    leave();
}

void MeterBus::start()
{
    tryToConnect();
    if (!connected_)
        retry_.start();
}

void MeterBus::announceRaised(const QString &kind, quint64 bytes, quint64 limit)
{
    raised_.insert(
        kind, QJsonObject{{QStringLiteral("kind"), kind},
                          {QStringLiteral("bytes"), double(bytes)},
                          {QStringLiteral("limit"), double(limit)},
                          {QStringLiteral("since"), double(QDateTime::currentSecsSinceEpoch())}});
    if (connected_) {
        Q_EMIT AlarmRaised(kind, bytes, limit);
    }
}

void MeterBus::announceCleared(const QString &kind)
{
    raised_.remove(kind);
    if (connected_) {
        Q_EMIT AlarmCleared(kind);
    }
}

QString MeterBus::GetCurrentHour()
{
    return currentHour_ ? currentHour_() : QStringLiteral("{}");
}

QString MeterBus::GetRaisedAlarms()
{
    QJsonArray alarms;
    for (const QJsonObject &alarm : raised_) {
        alarms.append(alarm);
    }
    return QString::fromUtf8(QJsonDocument(alarms).toJson(QJsonDocument::Compact));
}

void MeterBus::tryToConnect()
{
    if (connected_) {
        return;
    }
    leave();
    // A connection name of its own each time: Qt keeps a lost connection's name.
    connectionName_ = QStringLiteral("vexmora-meter-%1").arg(++attempts_);
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, connectionName_);
    if (!bus.isConnected()) {
        if (!warnedUnreachable_) {
            qWarning().noquote() << "No system bus:" << bus.lastError().message()
                                 << "- alarms go to the log only until it can be reached.";
            warnedUnreachable_ = true;
        }
        return;
    }
    if (!bus.registerService(QString::fromLatin1(bus::kMeterServiceName))) {
        // Clients listen for the alarms from the name: without it, try again later.
        if (!warnedName_) {
            qWarning().noquote() << "Cannot own" << bus::kMeterServiceName
                                 << "on the system bus:" << bus.lastError().message()
                                 << "- trying again every" << kRetryMs / 1000 << "s.";
            warnedName_ = true;
        }
        leave();
        return;
    }
    bus.registerObject(QString::fromLatin1(bus::kMeterObjectPath), this,
                       QDBusConnection::ExportAdaptors);
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                SLOT(onDisconnected()));
    connected_ = true;
    retry_.stop(); // an idle meter does not wake for nothing
    warnedUnreachable_ = false;
    warnedName_ = false;
    qInfo("Joined the system bus.");
}

void MeterBus::onDisconnected()
{
    qWarning("Lost the system bus; counting goes on and the meter joins it again when it can.");
    // The connection goes at the next attempt, not inside its own signal.
    connected_ = false;
    retry_.start();
}

void MeterBus::leave()
{
    if (!connectionName_.isEmpty()) {
        QDBusConnection::disconnectFromBus(connectionName_);
        connectionName_.clear();
    }
}

} // namespace vexmora::meter
