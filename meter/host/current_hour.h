#pragma once

#include "traffic_store.h"

#include <QString>
#include <QVariantMap>

namespace vexmora::meter {

// The hour being counted as clients see it: its row so far and the packets no
// application could be credited with.
struct CurrentHour
{
    QString time; // "YYYY-MM-DD HH:00"; empty while counting is off
    store::HourRecord row{};
    quint64 uncountedPackets = 0;
};

// JSON text of the hour for GetCurrentHour; "{}" when none is counted.
QString currentHourJson(const CurrentHour &hour);
// The same figures typed for the CurrentHour property; empty when none is counted.
QVariantMap currentHourProperty(const CurrentHour &hour);

} // namespace vexmora::meter
