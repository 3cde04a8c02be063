#pragma once

#include <QString>
#include <QVector>

namespace vexmora::ctl {

struct HourBar
{
    QString label;
    double up = 0;
    double down = 0;
};

// A horizontal bar chart of hourly upload and download, two lines per hour,
// fitted into width columns: the largest value of all fills the bar room.
// Narrower widths than the labels need still get bars of a few columns.
QString renderHourChart(const QVector<HourBar> &bars, int width);

} // namespace vexmora::ctl
