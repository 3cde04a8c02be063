#include "meter_link.h"

#include "ctl_commands.h"
#include "report_views.h"
#include "vexmora_bus_names.h"
#include "vexmora_meter_proxy.h"

#include <QDateTime>

namespace vexmora::ctl {
namespace {

constexpr int kMeterTimeoutMs = 2000;
constexpr double kMiB = 1024.0 * 1024.0;

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
    return bus.connect(QString::fromLatin1(bus::kMeterServiceName),
                       QString::fromLatin1(bus::kMeterObjectPath),
                       QString::fromLatin1(bus::kMeterInterface), QStringLiteral("AlarmRaised"),
                       this, SLOT(print(QString, qulonglong, qulonglong)));
}

void AlarmPrinter::print(const QString &kind, qulonglong bytes, qulonglong limit)
{
    writeOut(describeAlarm(kind, bytes, limit));
}

QString describeAlarm(const QString &kind, quint64 bytes, quint64 limit)
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss  ")) + kind +
           QStringLiteral(" alarm: %1 MiB in the period, over the size of %2 MiB\n")
               .arg(double(bytes) / kMiB, 0, 'f', 1)
               .arg(double(limit) / kMiB, 0, 'f', 1);
}

} // namespace vexmora::ctl
