#include "number_text.h"

#include <QDate>
#include <QRegularExpression>

namespace vexmora::tools {
namespace {

bool hasIntegerSyntax(const QString &text)
{
    static const QRegularExpression integer(QStringLiteral("^-?[0-9]+$"));
    return integer.match(text).hasMatch();
}

} // namespace

bool parseBoundedInteger(const QString &text, qint64 minimum, qint64 maximum, qint64 &value,
                         QString &problem)
{
    if (!hasIntegerSyntax(text)) {
        problem = QStringLiteral("is not a whole number: ") + text;
        return false;
    }
    bool fits = false;
    const qint64 parsed = text.toLongLong(&fits, 10);
    if (fits && parsed < minimum) {
        problem = QStringLiteral("must be at least ") + QString::number(minimum) +
                  QStringLiteral(": ") + text;
        return false;
    }
    if (!fits || parsed > maximum) {
        const bool belowRange = text.startsWith(QLatin1Char('-'));
        problem = belowRange ? QStringLiteral("must be at least ") + QString::number(minimum)
                             : QStringLiteral("must be at most ") + QString::number(maximum);
        problem += QStringLiteral(": ") + text;
        return false;
    }
    value = parsed;
    return true;
}

bool isHourText(const QString &text, QString &problem)
{
    static const QRegularExpression shape(
        QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):00$"));
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch()) {
        problem = QStringLiteral("is not an hour of the form \"YYYY-MM-DD HH:00\": ") + text;
        return false;
    }
    const QDate day(match.captured(1).toInt(), match.captured(2).toInt(),
                    match.captured(3).toInt());
    if (!day.isValid()) {
        problem = QStringLiteral("names no calendar day: ") + text;
        return false;
    }
    if (match.captured(4).toInt() > 23) {
        problem = QStringLiteral("names no hour of the day: ") + text;
        return false;
    }
    return true;
}

} // namespace vexmora::tools
