#include "current_hour.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vexmora::meter {

QString currentHourJson(const CurrentHour &hour)
{
    QJsonObject json;
    if (!hour.time.isEmpty()) {
        json = QJsonObject{{QStringLiteral("time"), hour.time},
                           {QStringLiteral("mins"), hour.row.mins},
                           {QStringLiteral("recv"), double(hour.row.recv)},
                           {QStringLiteral("sent"), double(hour.row.sent)},
                           {QStringLiteral("recv_peak"), hour.row.recv_peak},
                           {QStringLiteral("sent_peak"), hour.row.sent_peak},
                           {QStringLiteral("total_peak"), hour.row.total_peak},
                           {QStringLiteral("uncounted_packets"), double(hour.uncountedPackets)}};
    }
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

QVariantMap currentHourProperty(const CurrentHour &hour)
{
    if (hour.time.isEmpty()) {
        return {};
    }
    return {{QStringLiteral("time"), hour.time},
            {QStringLiteral("mins"), hour.row.mins},
            {QStringLiteral("recv"), qulonglong(qMax<qint64>(0, hour.row.recv))},
            {QStringLiteral("sent"), qulonglong(qMax<qint64>(0, hour.row.sent))},
            {QStringLiteral("recv_peak"), hour.row.recv_peak},
            {QStringLiteral("sent_peak"), hour.row.sent_peak},
            {QStringLiteral("total_peak"), hour.row.total_peak},
            {QStringLiteral("uncounted_packets"), qulonglong(hour.uncountedPackets)}};
}

} // namespace vexmora::meter
