#include "meter_link.h"

#include "ctl_commands.h"
#include "report_views.h"
#include "terminal_text.h"
#include "vexmora_bus_names.h"
#include "vexmora_meter_proxy.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace vexmora::ctl {
namespace {

constexpr int kMeterTimeoutMs = 2000;
constexpr double kMiB = 1024.0 * 1024.0;

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

bool AlarmPrinter::subscribe(QDBusConnection &bus)
{
    const auto subscribeTo = [&](const char *member, const char *slot) {
        return bus.connect(
            QString::fromLatin1(bus::kMeterServiceName), QString::fromLatin1(bus::kMeterObjectPath),
            QString::fromLatin1(bus::kMeterInterface), QLatin1String(member), this, slot);
    };
    return subscribeTo("AlarmRaised", SLOT(print(QString, qulonglong, qulonglong))) &&
           subscribeTo("AlarmCleared", SLOT(printCleared(QString)));
}

void AlarmPrinter::printRaised(QDBusConnection &bus)
{
    VexmoraMeterProxy meter(QString::fromLatin1(bus::kMeterServiceName),
                            QString::fromLatin1(bus::kMeterObjectPath), bus);
    meter.setTimeout(kMeterTimeoutMs);
    QDBusPendingReply<QString> reply = meter.GetRaisedAlarms();
    reply.waitForFinished();
    if (reply.isError()) {
        return;
    }
    for (const QJsonValue &value : QJsonDocument::fromJson(reply.value().toUtf8()).array()) {
        const QJsonObject alarm = value.toObject();
        writeOut(describeAlarm(
            QDateTime::fromSecsSinceEpoch(qint64(alarm.value(QStringLiteral("since")).toDouble())),
            alarm.value(QStringLiteral("kind")).toString(),
            quint64(alarm.value(QStringLiteral("bytes")).toDouble()),
            quint64(alarm.value(QStringLiteral("limit")).toDouble())));
    }
}

void AlarmPrinter::print(const QString &kind, qulonglong bytes, qulonglong limit)
{
    writeOut(describeAlarm(QDateTime::currentDateTime(), kind, bytes, limit));
}

void AlarmPrinter::printCleared(const QString &kind)
{
    writeOut(stamp(QDateTime::currentDateTime()) + tools::escapedText(kind) +
             QStringLiteral(" alarm cleared\n"));
}

QString describeAlarm(const QDateTime &when, const QString &kind, quint64 bytes, quint64 limit)
{
    return stamp(when) + tools::escapedText(kind) +
           QStringLiteral(" alarm: %1 MiB in the period, over the size of %2 MiB\n")
               .arg(double(bytes) / kMiB, 0, 'f', 1)
               .arg(double(limit) / kMiB, 0, 'f', 1);
}

} // namespace vexmora::ctl
