#include "json_cells.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <iterator>

namespace vexmora::ctl {
namespace {

// Beyond 2^53 doubles no longer hold every whole number.
constexpr double kExactWholeLimit = 9007199254740992.0;

QString numberText(double number)
{
    if (std::trunc(number) == number && std::fabs(number) <= kExactWholeLimit) {
        return QString::number(qint64(number));
    }
    const QString shortText = QString::number(number, 'g', 15);
    return shortText.toDouble() == number ? shortText : QString::number(number, 'g', 17);
}

} // namespace

QString cellText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double:
        return numberText(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    default:
        return QString();
    }
}

QString gibCell(const QJsonValue &value)
{
    return value.isDouble() ? QString::number(value.toDouble(), 'f', 2) : cellText(value);
}

QString bytesCell(const QJsonValue &value, const QString &suffix)
{
    if (!value.isDouble() || value.toDouble() < 0) {
        return cellText(value);
    }
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double amount = value.toDouble();
    size_t unit = 0;
    while (amount >= 1024 && unit + 1 < std::size(units)) {
        amount /= 1024;
        ++unit;
    }
    const QString number =
        unit == 0 ? QString::number(qint64(amount)) : QString::number(amount, 'f', 1);
    return number + QLatin1Char(' ') + QLatin1String(units[unit]) + suffix;
}

} // namespace vexmora::ctl
