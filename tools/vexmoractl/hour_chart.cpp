#include "hour_chart.h"

#include <algorithm>
#include <cmath>

namespace vexmora::ctl {
namespace {

constexpr int kMinimumBarRoom = 8;
const QString kUpLabel = QStringLiteral(" up   ");
const QString kDownLabel = QStringLiteral(" down ");

QString gibText(double value)
{
    return QString::number(value, 'f', 2);
}

struct ChartLayout
{
    int labelWidth = 0;
    int valueWidth = 0;
    int barRoom = 0;
    double largest = 0;
};

ChartLayout layoutFor(const QVector<HourBar> &bars, int width)
{
    ChartLayout layout;
    for (const HourBar &bar : bars) {
        layout.labelWidth = std::max(layout.labelWidth, int(bar.label.size()));
        layout.valueWidth = std::max(
            {layout.valueWidth, int(gibText(bar.up).size()), int(gibText(bar.down).size())});
        layout.largest = std::max({layout.largest, bar.up, bar.down});
    }
    const int fixed = layout.labelWidth + int(kUpLabel.size()) + 1 + layout.valueWidth;
    layout.barRoom = std::max(kMinimumBarRoom, width - fixed);
    return layout;
}

QString barLine(const QString &label, const QString &direction, double value, QChar mark,
                const ChartLayout &layout)
{
    const double share = layout.largest > 0 ? std::max(0.0, value) / layout.largest : 0;
    const int length = int(std::lround(share * layout.barRoom));
    const QString bar = QString(length, mark).leftJustified(layout.barRoom);
    return label.leftJustified(layout.labelWidth) + direction + bar + QLatin1Char(' ') +
           gibText(value).rightJustified(layout.valueWidth) + QLatin1Char('\n');
}

} // namespace

QString renderHourChart(const QVector<HourBar> &bars, int width)
{
    if (bars.isEmpty()) {
        return QString();
    }
    const ChartLayout layout = layoutFor(bars, width);
    QString chart = QStringLiteral("GiB per hour (# up, = down); a full bar is ") +
                    gibText(layout.largest) + QStringLiteral(" GiB\n");
    for (const HourBar &bar : bars) {
        chart += barLine(bar.label, kUpLabel, bar.up, QLatin1Char('#'), layout);
        chart += barLine(QString(), kDownLabel, bar.down, QLatin1Char('='), layout);
    }
    return chart;
}

} // namespace vexmora::ctl
