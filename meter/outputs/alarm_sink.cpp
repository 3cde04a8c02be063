#include "alarm_sink.h"

#include "meter_bus.h"
#include "netflow_settings.h"

#include <cstdio>

namespace vexmora::meter {
namespace {

QString describeAlarm(const AlarmEvent &event, qint64 periodMinutes)
{
    return QStringLiteral("Traffic alarm %1: %2 bytes in the last %3 minutes, over the limit of "
                          "%4 bytes")
        .arg(alarmKindName(event.kind))
        .arg(event.bytes)
        .arg(periodMinutes)
        .arg(event.limit);
}

void writeLine(const QString &text)
{
    const QByteArray line = text.toUtf8();
    NetflowSettings().writeLog(0, "%s", line.constData());
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
}

} // namespace

void AlarmAnnouncer::raise(const AlarmEvent &event, qint64 periodMinutes)
{
    writeLine(describeAlarm(event, periodMinutes));
    bus_.announceRaised(alarmKindName(event.kind), event.bytes, event.limit);
}

void AlarmAnnouncer::clear(AlarmKind kind)
{
    writeLine(QStringLiteral("Traffic alarm %1 cleared.").arg(alarmKindName(kind)));
    bus_.announceCleared(alarmKindName(kind));
}

} // namespace vexmora::meter
