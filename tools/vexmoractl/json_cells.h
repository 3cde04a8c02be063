#pragma once

#include <QJsonValue>
#include <QString>

namespace vexmora::ctl {

// A JSON value as one table cell: strings as they are, whole numbers without
// a fraction, other numbers in their shortest exact form, containers compact.
QString cellText(const QJsonValue &value);
// A GiB figure of a report, with two decimals as the service rounds it.
QString gibCell(const QJsonValue &value);

} // namespace vexmora::ctl
