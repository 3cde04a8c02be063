#include "report_views.h"

#include "hour_chart.h"
#include "json_cells.h"
#include "text_table.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

using vexmora::tools::TextTable;

namespace vexmora::ctl {
namespace {

constexpr auto kRight = TextTable::Align::Right;

std::optional<QJsonArray> arrayOf(const QString &reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(reply.toUtf8());
    if (!document.isArray()) {
        return std::nullopt;
    }
    return document.array();
}

QString topTable(const QJsonArray &entries)
{
    TextTable table;
    table.addColumn(QStringLiteral("#"), kRight);
    table.addColumn(QStringLiteral("application"));
    table.addColumn(QStringLiteral("up GiB"), kRight);
    table.addColumn(QStringLiteral("down GiB"), kRight);
    table.addColumn(QStringLiteral("total GiB"), kRight);
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        table.addRow({QString::number(table.rowCount() + 1),
                      cellText(entry.value(QStringLiteral("app"))),
                      gibCell(entry.value(QStringLiteral("up"))),
                      gibCell(entry.value(QStringLiteral("down"))),
                      gibCell(entry.value(QStringLiteral("tot")))});
    }
    return table.render();
}

bool anyHasStatus(const QJsonArray &entries)
{
    for (const QJsonValue &value : entries) {
        if (value.toObject().contains(QStringLiteral("status"))) {
            return true;
        }
    }
    return false;
}

QString reportedCell(const QJsonValue &status)
{
    if (status.isDouble() && status.toInt(-1) == 0) {
        return QStringLiteral("no");
    }
    return status.isDouble() && status.toInt(-1) == 1 ? QStringLiteral("yes") : cellText(status);
}

QString hourTable(const QJsonArray &entries)
{
    const bool withStatus = anyHasStatus(entries);
    TextTable table;
    table.addColumn(QStringLiteral("hour"));
    for (const char *header :
         {"up", "down", "total", "avg up", "avg down", "peak up", "peak down", "peak"}) {
        table.addColumn(QString::fromLatin1(header), kRight);
    }
    if (withStatus) {
        table.addColumn(QStringLiteral("reported"));
    }
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        QStringList cells = {cellText(entry.value(QStringLiteral("time")))};
        for (const char *key : {"up", "down", "tot"}) {
            cells.append(gibCell(entry.value(QLatin1String(key))));
        }
        for (const char *key : {"avg_up", "avg_down", "pk_up", "pk_down", "pk"}) {
            cells.append(cellText(entry.value(QLatin1String(key))));
        }
        if (withStatus) {
            cells.append(reportedCell(entry.value(QStringLiteral("status"))));
        }
        table.addRow(cells);
    }
    return table.render() +
           QStringLiteral("up, down and total in GiB; averages and peaks (the busiest minute) "
                          "in KiB/s\n");
}

QVector<HourBar> hourBars(const QJsonArray &entries)
{
    QVector<HourBar> bars;
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        bars.append({entry.value(QStringLiteral("time")).toString(),
                     entry.value(QStringLiteral("up")).toDouble(),
                     entry.value(QStringLiteral("down")).toDouble()});
    }
    return bars;
}

QString daysText(int days)
{
    return days == 1 ? QStringLiteral("the day") : QString::number(days) + QStringLiteral(" days");
}

QString dayBefore(int days)
{
    switch (days) {
    case 0:
        return QStringLiteral("today");
    case 1:
        return QStringLiteral("yesterday");
    default:
        return QStringLiteral("the day ") + QString::number(days) + QStringLiteral(" days ago");
    }
}

QString switchText(int value)
{
    switch (value) {
    case 0:
        return QStringLiteral("off");
    case 1:
        return QStringLiteral("on");
    default:
        return QStringLiteral("unknown (") + QString::number(value) + QLatin1Char(')');
    }
}

QStringList thresholdCells(const QString &text)
{
    const QJsonObject threshold = QJsonDocument::fromJson(text.toUtf8()).object();
    if (!threshold.contains(QStringLiteral("size"))) {
        return {text, QString()};
    }
    return {cellText(threshold.value(QStringLiteral("size"))),
            cellText(threshold.value(QStringLiteral("period")))};
}

QJsonValue thresholdValue(const QString &text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    return document.isObject() ? QJsonValue(document.object()) : QJsonValue(text);
}

// GiB rounded to two decimals with 0.01 as the floor, as the service's reports show them.
double gib(double bytes)
{
    const double value = std::round(bytes / (1024.0 * 1024.0 * 1024.0) * 100.0) / 100.0;
    return value == 0.0 ? 0.01 : value;
}

} // namespace

QJsonObject hourEntryFromMeter(const QString &reply)
{
    const QJsonObject hour = QJsonDocument::fromJson(reply.toUtf8()).object();
    if (!hour.contains(QStringLiteral("time"))) {
        return {};
    }
    const double sent = hour.value(QStringLiteral("sent")).toDouble();
    const double recv = hour.value(QStringLiteral("recv")).toDouble();
    const double seconds = qMax(1, hour.value(QStringLiteral("mins")).toInt()) * 60.0;
    const double averageUp = std::floor(sent / 1024 / seconds);
    const double averageDown = std::floor(recv / 1024 / seconds);
    return QJsonObject{{QStringLiteral("time"), hour.value(QStringLiteral("time"))},
                       {QStringLiteral("up"), gib(sent)},
                       {QStringLiteral("down"), gib(recv)},
                       {QStringLiteral("tot"), gib(sent) + gib(recv)},
                       {QStringLiteral("avg_up"), averageUp},
                       {QStringLiteral("avg_down"), averageDown},
                       {QStringLiteral("avg"), averageUp + averageDown},
                       {QStringLiteral("pk_up"), hour.value(QStringLiteral("sent_peak"))},
                       {QStringLiteral("pk_down"), hour.value(QStringLiteral("recv_peak"))},
                       {QStringLiteral("pk"), hour.value(QStringLiteral("total_peak"))},
                       {QStringLiteral("status"), QStringLiteral("counting")}};
}

QString formatStatus(const ServiceStatus &status)
{
    TextTable table;
    table.addColumn(QStringLiteral("monitor"));
    table.addColumn(QStringLiteral("switch"));
    table.addColumn(QStringLiteral("size MiB"), kRight);
    table.addColumn(QStringLiteral("period min"), kRight);
    table.addRow({QStringLiteral("count"), switchText(status.count)});
    table.addRow(QStringList{QStringLiteral("alarm"), switchText(status.alarm)} +
                 thresholdCells(status.overallThreshold));
    table.addRow(QStringList{QStringLiteral("egress"), switchText(status.egress)} +
                 thresholdCells(status.egressThreshold));
    table.addRow(QStringList{QStringLiteral("ingress"), switchText(status.ingress)} +
                 thresholdCells(status.ingressThreshold));
    return table.render() +
           QStringLiteral("The alarm row's threshold is the overall one (received + sent).\n"
                          "An alarm is raised when the traffic of the last period exceeds its\n"
                          "size; the three thresholds share one period.\n");
}

QByteArray statusJson(const ServiceStatus &status)
{
    const QJsonObject thresholds{
        {QStringLiteral("overall"), thresholdValue(status.overallThreshold)},
        {QStringLiteral("egress"), thresholdValue(status.egressThreshold)},
        {QStringLiteral("ingress"), thresholdValue(status.ingressThreshold)}};
    const QJsonObject object{{QStringLiteral("count"), status.count},
                             {QStringLiteral("alarm"), status.alarm},
                             {QStringLiteral("egress"), status.egress},
                             {QStringLiteral("ingress"), status.ingress},
                             {QStringLiteral("thresholds"), thresholds}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<QString> formatTop(const QString &reply, int days)
{
    const std::optional<QJsonArray> entries = arrayOf(reply);
    if (!entries) {
        return std::nullopt;
    }
    if (entries->isEmpty()) {
        return QStringLiteral("No application traffic recorded in ") + daysText(days) +
               QStringLiteral(" before today.\n");
    }
    return QStringLiteral("Top applications over ") + daysText(days) +
           QStringLiteral(" before today:\n") + topTable(*entries);
}

std::optional<QString> formatHours(const QString &reply, int days, int width,
                                   const QJsonObject &current)
{
    std::optional<QJsonArray> entries = arrayOf(reply);
    if (!entries) {
        return std::nullopt;
    }
    if (!current.isEmpty()) {
        entries->append(current);
    }
    if (entries->isEmpty()) {
        return QStringLiteral("No hourly traffic recorded since the start of ") + dayBefore(days) +
               QStringLiteral(".\n");
    }
    return hourTable(*entries) + QLatin1Char('\n') + renderHourChart(hourBars(*entries), width);
}

std::optional<QString> formatReport(const QString &reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(reply.toUtf8());
    const QJsonObject report = document.object();
    const QJsonValue hours = report.value(QStringLiteral("hour"));
    const QJsonObject top = report.value(QStringLiteral("top10")).toObject();
    if (!document.isObject() || !hours.isArray() || top.isEmpty()) {
        return std::nullopt;
    }
    QString text = QStringLiteral("Hours handed out by this report, now marked reported: ") +
                   QString::number(hours.toArray().size()) + QLatin1Char('\n');
    if (!hours.toArray().isEmpty()) {
        text += hourTable(hours.toArray());
    }
    for (const auto &[key, days] : {std::pair{"7day", 7}, std::pair{"30day", 30}}) {
        text += QStringLiteral("\nTop applications over ") + daysText(days) +
                QStringLiteral(" before today:\n");
        const QJsonArray entries = top.value(QLatin1String(key)).toArray();
        text += entries.isEmpty() ? QStringLiteral("none\n") : topTable(entries);
    }
    return text;
}

} // namespace vexmora::ctl
