#pragma once

#include <QJsonValue>
#include <QString>

namespace vexmora::ctl {

// A JSON value as one table cell: strings as they are, whole numbers without
// a fraction, other numbers in their shortest exact form, containers compact.
QString cellText(const QJsonValue &value);
// A GiB figure of a report, with two decimals as the service rounds it.
QString gibCell(const QJsonValue &value);
// A byte count in the largest binary unit that keeps it at 1 or more: "512 B",
// "1.5 KiB", "3.2 MiB", ...; suffix follows the unit ("/s" for rates).
QString bytesCell(const QJsonValue &value, const QString &suffix = QString());

} // namespace vexmora::ctl
