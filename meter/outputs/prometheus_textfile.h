#pragma once

#include "meter_status.h"

#include <QByteArray>
#include <QString>

namespace vexmora::meter {

// The status in the Prometheus text exposition format.
QByteArray prometheusText(const MeterStatus &status);
// Replaces DIR/vexmora.prom atomically; false (with a warning) when it cannot.
bool writePrometheusTextfile(const QString &dir, const MeterStatus &status);

} // namespace vexmora::meter
