#include "meter_bus.h"

#include "meter_adaptor.h"
#include "sqlite_handles.h"
#include "vexmora_bus_names.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDateTime>
#include <QDebug>
#include <cjson/cJSON.h>

namespace vexmora::meter {
namespace {

constexpr int kRetryMs = 5000;

// Puts NAME and VALUE into CHANGED and keeps VALUE as announced when it
// differs from what was announced last.
template <typename T>
void noteChange(QVariantMap &changed, const char *name, const T &value, T &announced)
{
    if (value != announced) {
        changed.insert(QLatin1String(name), QVariant::fromValue(value));
        announced = value;
    }
}

} // namespace

MeterBus::MeterBus(QObject *parent) : QObject(parent)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
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

void MeterBus::follow(std::function<CurrentHour()> currentHour, std::function<bool()> counting)
{
    currentHour_ = std::move(currentHour);
    counting_ = std::move(counting);
    publishChanges(); // what the meter shows already, before its next sample
}

void MeterBus::announceRaised(const QString &kind, quint64 bytes, quint64 limit)
{
    raised_.insert(kind, RaisedAlarm{bytes, limit, QDateTime::currentSecsSinceEpoch()});
    if (connected_) {
        Q_EMIT AlarmRaised(kind, bytes, limit);
    }
    publishChanges();
}

void MeterBus::announceCleared(const QString &kind)
{
    raised_.remove(kind);
    if (connected_) {
        Q_EMIT AlarmCleared(kind);
    }
    publishChanges();
}

QString MeterBus::GetCurrentHour()
{
    return currentHour_ ? currentHourJson(currentHour_()) : QStringLiteral("{}");
}

// Each alarm's keys in the order of their names, as clients have always read them.
QString MeterBus::GetRaisedAlarms()
{
    const store::Json alarms(cJSON_CreateArray());
    for (auto alarm = raised_.cbegin(); alarm != raised_.cend(); ++alarm) {
        cJSON *entry = cJSON_CreateObject();
        cJSON_AddNumberToObject(entry, "bytes", double(alarm->bytes));
        cJSON_AddStringToObject(entry, "kind", alarm.key().toUtf8().constData());
        cJSON_AddNumberToObject(entry, "limit", double(alarm->limit));
        cJSON_AddNumberToObject(entry, "since", double(alarm->since));
        cJSON_AddItemToArray(alarms.get(), entry);
    }
    const store::JsonText text(cJSON_PrintUnformatted(alarms.get()));
    return text ? QString::fromUtf8(text.get()) : QStringLiteral("[]");
}

QVariantMap MeterBus::currentHourProperty() const
{
    return currentHour_ ? meter::currentHourProperty(currentHour_()) : QVariantMap();
}

QList<QVariantMap> MeterBus::raisedAlarmsProperty() const
{
    QList<QVariantMap> alarms;
    for (auto alarm = raised_.cbegin(); alarm != raised_.cend(); ++alarm) {
        alarms.append({{QStringLiteral("kind"), alarm.key()},
                       {QStringLiteral("bytes"), qulonglong(alarm->bytes)},
                       {QStringLiteral("limit"), qulonglong(alarm->limit)},
                       {QStringLiteral("since"), qlonglong(alarm->since)}});
    }
    return alarms;
}

void MeterBus::publishChanges()
{
    QVariantMap changed;
    noteChange(changed, "CurrentHour", currentHourProperty(), announced_.currentHour);
    noteChange(changed, "RaisedAlarms", raisedAlarmsProperty(), announced_.raisedAlarms);
    noteChange(changed, "Counting", counting(), announced_.counting);
    // Off the bus the values are kept all the same: a client reads them anew
    // when the meter's name gets its owner.
    if (changed.isEmpty() || !connected_) {
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(bus::kMeterObjectPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    signal.setArguments({QString::fromLatin1(bus::kMeterInterface), changed, QStringList()});
    QDBusConnection(connectionName_).send(signal);
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
