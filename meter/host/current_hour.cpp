#include "current_hour.h"

#include "sqlite_handles.h"

#include <cjson/cJSON.h>

namespace vexmora::meter {

// The keys in the order of their names, as clients have always read them.
QString currentHourJson(const CurrentHour &hour)
{
    const store::Json json(cJSON_CreateObject());
    if (!hour.time.isEmpty()) {
        cJSON_AddNumberToObject(json.get(), "mins", hour.row.mins);
        cJSON_AddNumberToObject(json.get(), "recv", double(hour.row.recv));
        cJSON_AddNumberToObject(json.get(), "recv_peak", hour.row.recv_peak);
        cJSON_AddNumberToObject(json.get(), "sent", double(hour.row.sent));
        cJSON_AddNumberToObject(json.get(), "sent_peak", hour.row.sent_peak);
        cJSON_AddStringToObject(json.get(), "time", hour.time.toUtf8().constData());
        cJSON_AddNumberToObject(json.get(), "total_peak", hour.row.total_peak);
        cJSON_AddNumberToObject(json.get(), "uncounted_packets", double(hour.uncountedPackets));
    }
    const store::JsonText text(cJSON_PrintUnformatted(json.get()));
    return text ? QString::fromUtf8(text.get()) : QStringLiteral("{}");
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
