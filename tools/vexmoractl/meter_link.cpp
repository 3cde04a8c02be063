#include "meter_link.h"

#include "ctl_commands.h"
#include "report_views.h"
#include "terminal_text.h"
#include "vexmora_bus_names.h"
#include "vexmora_meter_proxy.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDateTime>

namespace vexmora::ctl {
namespace {

constexpr int kMeterTimeoutMs = 2000;
constexpr double kMiB = 1024.0 * 1024.0;
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Where every line of `watch` starts.
QString stamp(const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss  "));
}

} // namespace

QJsonObject currentHourEntry(QDBusConnection &bus)
{
    VexmoraMeterProxy meter(QString::fromLatin1(bus::kMeterServiceName),
                            QString::fromLatin1(bus::kMeterObjectPath), bus);
    meter.setTimeout(kMeterTimeoutMs);
    QDBusPendingReply<QString> reply = meter.GetCurrentHour();
    reply.waitForFinished();
    return reply.isError() ? QJsonObject() : hourEntryFromMeter(reply.value());
}

AlarmPrinter::AlarmPrinter()
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

// The bus delivers the signals of the connection that owns the meter's name
// only: anyone may send one of that interface.
bool AlarmPrinter::subscribe(QDBusConnection &bus)
{
    const QString name = QString::fromLatin1(bus::kMeterServiceName);
    return bus.connect(name, QString::fromLatin1(bus::kMeterObjectPath), kPropertiesInterface,
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(propertiesChanged(QString, QVariantMap, QStringList))) &&
           bus.connect(QStringLiteral("org.freedesktop.DBus"),
                       QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                       {name}, QString(), this, SLOT(ownerChanged()));
}

void AlarmPrinter::printRaised(QDBusConnection &bus)
{
    QDBusMessage get = QDBusMessage::createMethodCall(QString::fromLatin1(bus::kMeterServiceName),
                                                      QString::fromLatin1(bus::kMeterObjectPath),
                                                      kPropertiesInterface, QStringLiteral("Get"));
    get << QString::fromLatin1(bus::kMeterInterface) << QStringLiteral("RaisedAlarms");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kMeterTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return;
    }
    show(reply.arguments().constFirst().value<QDBusVariant>().variant());
}

void AlarmPrinter::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                     const QStringList &)
{
    const auto alarms = changed.constFind(QStringLiteral("RaisedAlarms"));
    if (interface == QLatin1String(bus::kMeterInterface) && alarms != changed.cend()) {
        show(*alarms);
    }
}

void AlarmPrinter::ownerChanged()
{
    known_.clear();
}

void AlarmPrinter::show(const QVariant &alarms)
{
    QMap<QString, Raised> now;
    for (const QVariantMap &alarm : qdbus_cast<QList<QVariantMap>>(alarms)) {
        now.insert(alarm.value(QStringLiteral("kind")).toString(),
                   Raised{alarm.value(QStringLiteral("bytes")).toULongLong(),
                          alarm.value(QStringLiteral("limit")).toULongLong(),
                          alarm.value(QStringLiteral("since")).toLongLong()});
    }
    const QDateTime when = QDateTime::currentDateTime();
    for (auto old = known_.cbegin(); old != known_.cend(); ++old) {
        if (!now.contains(old.key()) || now.value(old.key()).since != old->since) {
            writeOut(stamp(when) + tools::escapedText(old.key()) +
                     QStringLiteral(" alarm cleared\n"));
        }
    }
    for (auto alarm = now.cbegin(); alarm != now.cend(); ++alarm) {
        if (!known_.contains(alarm.key()) || known_.value(alarm.key()).since != alarm->since) {
            writeOut(describeAlarm(QDateTime::fromSecsSinceEpoch(alarm->since), alarm.key(),
                                   alarm->bytes, alarm->limit));
        }
    }
    known_ = now;
}

QString describeAlarm(const QDateTime &when, const QString &kind, quint64 bytes, quint64 limit)
{
    return stamp(when) + tools::escapedText(kind) +
           QStringLiteral(" alarm: %1 MiB in the period, over the size of %2 MiB\n")
               .arg(double(bytes) / kMiB, 0, 'f', 1)
               .arg(double(limit) / kMiB, 0, 'f', 1);
}

} // namespace vexmora::ctl
