#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace vexmora::ctl {

// The replies behind `vexmoractl status`: four switch values and three
// threshold texts.
struct ServiceStatus
{
    int count = 0;
    int alarm = 0;
    int egress = 0;
    int ingress = 0;
    QString overallThreshold;
    QString egressThreshold;
    QString ingressThreshold;
};

QString formatStatus(const ServiceStatus &status);
// One compact JSON object holding the seven replies.
QByteArray statusJson(const ServiceStatus &status);

// The meter's GetCurrentHour reply as an hour report entry whose "status" is
// "counting"; empty for "{}".
QJsonObject hourEntryFromMeter(const QString &reply);

// The readable forms of the report replies; empty when the reply is not the
// JSON document the report should be.
std::optional<QString> formatTop(const QString &reply, int days);
// current: the hour the meter counts now, shown last when it is not empty.
std::optional<QString> formatHours(const QString &reply, int days, int width,
                                   const QJsonObject &current = QJsonObject());
std::optional<QString> formatReport(const QString &reply);

// A snapshot as a table when it is a list of objects, as indented JSON when
// it is other JSON, and as it came otherwise: its layout is the producer's.
QString formatSnapshot(const QString &reply);

} // namespace vexmora::ctl
